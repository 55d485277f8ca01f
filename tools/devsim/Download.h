// The device taking a file: an XMODEM (checksum or CRC), XMODEM-1K or YMODEM receiver, written
// from the protocols' description and sharing nothing with the console's sender. It keeps the
// size and CRC-32 of what it got (and the YMODEM name and size), and saves it when asked.
#pragma once

#include "Options.h"
#include "SimCommon.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace devsim {

class TDownload {
public:
    TDownload(const TOptions& Options, TSimHost& Host) : m_o(Options), m_host(Host) {}

    void Begin(TTime Now);
    void OnBytes(std::string_view Data, TTime Now);
    void Tick(TTime Now);
    TTime NextWake(TTime Wake) const;

    bool Done() const { return m_phase == TPhase::Done; }
    bool Active() const { return m_phase != TPhase::Idle && m_phase != TPhase::Done; }
    uint64_t Size() const { return m_size; }
    uint32_t Crc32() const { return ~m_crc32; }
    const std::string& Name() const { return m_name; }
    int64_t AnnouncedSize() const { return m_announced; } // YMODEM's header; -1 without
    unsigned Blocks() const { return m_blocks; }
    unsigned Naks() const { return m_naks; }
    TTime Start() const { return m_start; }
    TTime End() const { return m_end; }
    const std::string& Failure() const { return m_failure; }

private:
    enum class TPhase { Idle, Inviting, Between, InBlock, Purging, Done };

    void Answer(char C, TTime Now);
    void Nak(TTime Now, const char* Why);
    void Block(TTime Now);
    void Store(const unsigned char* Data, size_t Count);
    void Stop(TTime Now, const std::string& Failure);
    bool Good(const unsigned char* Body, size_t Size) const;

    const TOptions& m_o;
    TSimHost& m_host;
    TPhase m_phase = TPhase::Idle;
    bool m_crc = true;
    std::string m_block; // the block being collected, from its first byte
    size_t m_need = 0;   // its whole length
    uint8_t m_expect = 1;
    bool m_header = false;  // YMODEM: block 0 is due
    bool m_eotSeen = false; // YMODEM: the first EOT was refused
    unsigned m_errors = 0;  // in a row
    unsigned m_invites = 0;
    unsigned m_cans = 0;
    TTime m_start{}, m_end{}, m_timer{};
    uint64_t m_size = 0;
    uint32_t m_crc32 = 0xFFFFFFFF;
    std::string m_name;
    int64_t m_announced = -1;
    unsigned m_blocks = 0, m_naks = 0;
    std::string m_failure;
    struct TCloser {
        void operator()(std::FILE* F) const { std::fclose(F); }
    };
    std::unique_ptr<std::FILE, TCloser> m_save;
};

} // namespace devsim
