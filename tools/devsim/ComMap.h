// The COM map: the folder in which a COM number is tied to a device by a symbolic link, and
// the rules by which the simulator may take an entry over and must give it back.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace devsim {

// What lies at an entry's path.
struct TComEntryState {
    enum class TType { Missing, Symlink, Other } Type = TType::Missing;
    std::string LinkTarget;    // Symlink: the link's text
    bool TargetExists = false; // Symlink: the link resolves to something that exists
    std::string Resolved;      // Symlink: canonical path of what it finally points at
    bool ResolvedIsCharDevice = false;
};

TComEntryState ProbeComEntry(const std::string& Path);

// nullopt when the simulator may place its link at Path: nothing there, a dangling link, or
// a link to a pseudo-terminal (/dev/pts/N, normally left by an earlier simulator). Anything
// else may be a real device the user mapped, and the text says what is refused and why.
std::optional<std::string> RefuseComEntry(const std::string& Path, const TComEntryState& State);

// A published entry: the link is removed again when this object goes, if it still points at
// the device it was made for (someone may have replaced it meanwhile).
class TComEntry {
public:
    // Publishes Device as COM N in the COM map, in the folder the console opens COMn through
    // (VaComMapDir); null with Error set when refused or failed.
    static std::unique_ptr<TComEntry> Publish(int N, const std::string& Device, std::string& Error);
    // The same in a chosen folder (made if missing).
    static std::unique_ptr<TComEntry> PublishIn(const std::string& Dir, int N,
                                                const std::string& Device, std::string& Error);
    ~TComEntry() { Remove(); }
    TComEntry(const TComEntry&) = delete;
    TComEntry& operator=(const TComEntry&) = delete;

    void Remove();
    const std::string& Path() const { return m_path; }

private:
    TComEntry(std::string Path, std::string Device)
        : m_path(std::move(Path)), m_device(std::move(Device)) {}
    std::string m_path;
    std::string m_device;
    bool m_removed = false;
};

} // namespace devsim
