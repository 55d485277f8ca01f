// Base pieces of the serial component: the notifying settings group, event objects (the
// platform layer can wait for one together with a device) and the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <utility>

// A set of enumeration values, one bit per ordinal.
template <class E> class TVaSet {
public:
    constexpr TVaSet() = default;
    constexpr TVaSet(std::initializer_list<E> Values) {
        for (E v : Values)
            m_bits |= Bit(v);
    }
    constexpr bool Contains(E V) const { return (m_bits & Bit(V)) != 0; }
    constexpr bool Empty() const { return m_bits == 0; }
    constexpr uint32_t Bits() const { return m_bits; }
    constexpr bool operator==(const TVaSet&) const = default;

private:
    static constexpr uint32_t Bit(E V) { return uint32_t{1} << static_cast<unsigned>(V); }
    uint32_t m_bits = 0;
};

// Base of the settings groups: changes are announced through OnChange unless an update
// is in progress; EndUpdate announces once.
class TVaPersistent {
public:
    virtual ~TVaPersistent() = default;
    void BeginUpdate() { ++m_updateCount; }
    void EndUpdate() {
        if (m_updateCount > 0)
            --m_updateCount;
        Changed();
    }
    // EndUpdate for a group that copied several values: a refusal puts them all back.
    template <class F> void EndUpdateOrUndo(F&& Undo) {
        if (m_updateCount > 0)
            --m_updateCount;
        ChangedOrUndo(std::forward<F>(Undo));
    }
    // Copies every value from a group of the same class with one notification; a group
    // of another class is refused as an invalid assignment.
    virtual void Assign(const TVaPersistent& Source) = 0;
    std::function<void(TVaPersistent* Sender)> OnChange;

protected:
    void Changed() {
        if (m_updateCount == 0 && OnChange)
            OnChange(this);
    }
    // Announces a change; when the listener refuses it (a port that is open, a device that
    // will not take it), Undo puts the old value back, the listener hears of that too, and
    // the refusal goes on to the caller.
    template <class F> void ChangedOrUndo(F&& Undo) {
        try {
            Changed();
        } catch (...) {
            Undo();
            try {
                Changed();
            } catch (...) {
            }
            throw;
        }
    }
    [[noreturn]] static void InvalidAssignment(const char* Source, const char* Target);

private:
    int32_t m_updateCount = 0;
};

enum TVaWaitResult { wrSignaled, wrTimeout, wrError };
constexpr int VaInfinite = -1;

// Owns one system object that threads wait for. What the object is belongs to the platform
// layer, which alone can wait for it together with a device.
class TVaHandleObject {
public:
    TVaHandleObject(const TVaHandleObject&) = delete;
    TVaHandleObject& operator=(const TVaHandleObject&) = delete;
    virtual ~TVaHandleObject();
    TVaWaitResult WaitFor(int TimeoutMs = VaInfinite);
    void Signal();
    void Reset();

protected:
    explicit TVaHandleObject(int Handle) : m_handle(Handle) {}

private:
    friend int VaWaitObjectHandle(const TVaHandleObject& Object);
    int m_handle;
};

// Unnamed manual-reset event, not signalled at creation. Throws std::system_error when the
// system has no object left to give.
class TVaEvent : public TVaHandleObject {
public:
    TVaEvent();
};

class TVaWaitEvent : public TVaEvent {};

// Waits for the first of several events; returns its index, -1 on time-out, -2 on failure.
int VaWaitForAny(std::initializer_list<const TVaHandleObject*> Objects, int TimeoutMs);

class TVaCriticalSection {
public:
    void Enter() { m_lock.lock(); }
    void Leave() { m_lock.unlock(); }
    // So that std::lock_guard can hold it.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::mutex m_lock;
};
