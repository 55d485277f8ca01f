#include "Download.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace devsim {

namespace {

constexpr char kSoh = 1, kStx = 2, kEot = 4, kAck = 6, kNak = 21, kCan = 24;
constexpr auto kInviteEvery = std::chrono::seconds(1);
constexpr unsigned kInvites = 60;
constexpr auto kInBlock = std::chrono::seconds(1);      // a block's bytes come back to back
constexpr auto kBetween = std::chrono::seconds(10);     // the sender may be slow to go on
constexpr auto kQuiet = std::chrono::milliseconds(100); // the line is calm before a NAK
constexpr unsigned kMaxErrors = 10;

// CRC-16/XMODEM, bit by bit as the protocol describes it.
uint16_t Crc16(const unsigned char* P, size_t N) {
    uint16_t crc = 0;
    while (N--) {
        crc ^= static_cast<uint16_t>(*P++) << 8;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

// CRC-32 (the zip and Ethernet one, reflected 0xEDB88320), a byte at a time from a table.
struct TCrc32Table {
    uint32_t T[256];
    TCrc32Table() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            T[i] = c;
        }
    }
};
const TCrc32Table kCrc32;

} // namespace

void TDownload::Begin(TTime Now) {
    m_start = Now;
    m_crc = m_o.Protocol != TRxProtocol::Xmodem;
    m_header = m_o.Protocol == TRxProtocol::Ymodem;
    m_expect = m_header ? 0 : 1;
    if (!m_o.SavePath.empty()) {
        m_save.reset(std::fopen(m_o.SavePath.c_str(), "wbe"));
        if (!m_save) {
            Stop(Now, "cannot write " + m_o.SavePath + ": " + ErrnoText(errno));
            return;
        }
    }
    m_phase = TPhase::Inviting;
    m_invites = 0;
    m_timer = Now; // the first invitation goes at the first tick
}

void TDownload::Answer(char C, TTime Now) {
    m_host.Queue(std::string_view(&C, 1));
    m_host.FlushPty(Now);
}

void TDownload::Nak(TTime Now, const char* Why) {
    ++m_naks;
    if (++m_errors > kMaxErrors) {
        m_host.Queue(std::string(8, kCan));
        m_host.FlushPty(Now);
        Stop(Now, std::string("gave up after ") + std::to_string(kMaxErrors) +
                      " errors in a row (" + Why + ")");
        return;
    }
    Say("download: NAK (%s)", Why);
    // Before anything was accepted, and for a YMODEM header, the start character asks again.
    Answer((m_blocks == 0 || m_header) && m_crc ? 'C' : kNak, Now);
    m_phase = TPhase::Between;
    m_timer = Now + kBetween;
}

void TDownload::Stop(TTime Now, const std::string& Failure) {
    m_end = Now;
    m_phase = TPhase::Done;
    m_save.reset();
    if (!Failure.empty()) {
        m_failure = Failure;
        m_host.Fail("download: " + Failure, 1);
    }
    m_host.WorkDone(Now);
}

void TDownload::OnBytes(std::string_view Data, TTime Now) {
    size_t i = 0;
    while (i < Data.size() && Active()) {
        switch (m_phase) {
        case TPhase::Purging:
            m_timer = Now + kQuiet; // more noise: the line is not calm yet
            return;
        case TPhase::Inviting:
        case TPhase::Between: {
            const char c = Data[i++];
            if (c == kCan) {
                if (++m_cans >= 2)
                    Stop(Now, "the sender cancelled");
                continue;
            }
            m_cans = 0;
            if (c == kEot) {
                if (m_header)
                    continue; // no file under way
                if (m_o.Protocol == TRxProtocol::Ymodem && !m_eotSeen) {
                    // Refused once, so a stray EOT byte cannot end the file.
                    m_eotSeen = true;
                    Answer(kNak, Now);
                    m_timer = Now + kBetween;
                    continue;
                }
                Answer(kAck, Now);
                if (m_o.Protocol != TRxProtocol::Ymodem) {
                    Stop(Now, "");
                    return;
                }
                // The batch goes on with another header: an empty one ends it.
                m_header = true;
                m_expect = 0;
                m_eotSeen = false;
                m_errors = 0;
                Answer('C', Now);
                m_timer = Now + kBetween;
                continue;
            }
            if (c != kSoh && c != kStx)
                continue; // noise between blocks
            m_block.assign(1, c);
            m_need = 3 + (c == kSoh ? 128 : 1024) + (m_crc ? 2 : 1);
            m_phase = TPhase::InBlock;
            m_timer = Now + kInBlock;
            break;
        }
        case TPhase::InBlock: {
            const size_t take = std::min(m_need - m_block.size(), Data.size() - i);
            m_block.append(Data.substr(i, take));
            i += take;
            m_timer = Now + kInBlock;
            if (m_block.size() == m_need)
                Block(Now);
            break;
        }
        default:
            return;
        }
    }
}

bool TDownload::Good(const unsigned char* Body, size_t Size) const {
    if (m_crc)
        return Crc16(Body, Size) == ((Body[Size] << 8) | Body[Size + 1]);
    unsigned sum = 0;
    for (size_t k = 0; k < Size; ++k)
        sum += Body[k];
    return (sum & 0xFF) == Body[Size];
}

void TDownload::Block(TTime Now) {
    const auto* b = reinterpret_cast<const unsigned char*>(m_block.data());
    const size_t size = b[0] == kSoh ? 128 : 1024;
    if (static_cast<uint8_t>(b[1] + b[2]) != 0xFF || !Good(b + 3, size)) {
        m_phase = TPhase::Purging;
        m_timer = Now + kQuiet;
        return;
    }
    const uint8_t number = b[1];
    if (m_blocks > 0 && number == static_cast<uint8_t>(m_expect - 1)) {
        // Our ACK was lost: the sender repeats the block we have.
        Answer(kAck, Now);
        m_phase = TPhase::Between;
        m_timer = Now + kBetween;
        return;
    }
    if (number != m_expect) {
        m_host.Queue(std::string(8, kCan));
        m_host.FlushPty(Now);
        Stop(Now, "block " + std::to_string(number) + " came where " + std::to_string(m_expect) +
                      " was due");
        return;
    }
    m_errors = 0;
    ++m_blocks;
    m_phase = TPhase::Between;
    m_timer = Now + kBetween;
    if (m_header) {
        const char* info = m_block.data() + 3;
        const std::string name(info, strnlen(info, size));
        Answer(kAck, Now);
        if (name.empty()) {
            Stop(Now, ""); // the batch is over
            return;
        }
        if (!m_name.empty()) {
            m_host.Queue(std::string(8, kCan));
            m_host.FlushPty(Now);
            Stop(Now, "a second file (\"" + name + "\") came; one is taken");
            return;
        }
        m_name = name;
        const char* sizeText = info + name.size() + 1;
        if (name.size() + 1 < size && *sizeText)
            m_announced = std::strtoll(sizeText, nullptr, 10);
        m_header = false;
        m_expect = 1;
        Answer('C', Now); // and now the data
        return;
    }
    uint64_t keep = size;
    if (m_announced >= 0) { // YMODEM: the header's size cuts the last block's padding off
        const auto announced = static_cast<uint64_t>(m_announced);
        keep = std::min(keep, announced > m_size ? announced - m_size : 0);
    }
    Store(b + 3, static_cast<size_t>(keep));
    ++m_expect;
    Answer(kAck, Now);
}

void TDownload::Store(const unsigned char* Data, size_t Count) {
    uint32_t c = m_crc32;
    for (size_t k = 0; k < Count; ++k)
        c = kCrc32.T[(c ^ Data[k]) & 0xFF] ^ (c >> 8);
    m_crc32 = c;
    m_size += Count;
    if (m_save && std::fwrite(Data, 1, Count, m_save.get()) != Count)
        Say("download: writing %s failed: %s", m_o.SavePath.c_str(), ErrnoText(errno).c_str());
}

void TDownload::Tick(TTime Now) {
    if (!Active() || Now < m_timer)
        return;
    switch (m_phase) {
    case TPhase::Inviting:
        if (m_invites++ == kInvites) {
            Stop(Now, "no sender began within " + std::to_string(kInvites) + " invitations");
            return;
        }
        Answer(m_crc ? 'C' : kNak, Now);
        m_timer = Now + kInviteEvery;
        return;
    case TPhase::InBlock:
        Nak(Now, "block cut short");
        return;
    case TPhase::Purging:
        Nak(Now, "bad block");
        return;
    case TPhase::Between:
        Nak(Now, "nothing came");
        return;
    default:
        return;
    }
}

TTime TDownload::NextWake(TTime Wake) const {
    return Active() ? std::min(Wake, m_timer) : Wake;
}

} // namespace devsim
