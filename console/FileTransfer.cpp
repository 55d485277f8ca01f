#include "FileTransfer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr char Pad = 0x1A; // what fills the last block after the file's end
// Below this many bytes left, 128-byte blocks carry the rest with less padding than a 1K one.
constexpr uint64_t ShortTail = 896;
constexpr size_t PlainRead = 64 * 1024;

// CRC-16 with polynomial 0x1021, initial value 0, MSB first: the XMODEM CRC.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
        t[i] = c;
    }
    return t;
}
constexpr auto CrcTable = MakeCrcTable();

uint16_t Crc16(const char* Data, size_t Size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < Size; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^
                                    CrcTable[((crc >> 8) ^ static_cast<uint8_t>(Data[i])) & 0xFF]);
    return crc;
}

std::string Seconds(int64_t Ms) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f s", static_cast<double>(Ms) / 1000.0);
    return b;
}

std::string WholeSeconds(int Ms) {
    char b[32];
    std::snprintf(b, sizeof b, "%g s", Ms / 1000.0);
    return b;
}

} // namespace

const char* TransferProtocolName(TTransferProtocol Protocol) {
    switch (Protocol) {
    case TTransferProtocol::Plain:
        return "plain";
    case TTransferProtocol::Xmodem:
        return "XMODEM";
    case TTransferProtocol::Xmodem1K:
        return "XMODEM-1K";
    case TTransferProtocol::Ymodem:
        return "YMODEM";
    }
    return "?";
}

std::string TransferStartLine(const std::string& FileName, uint64_t Total,
                              TTransferProtocol Protocol) {
    return "Send file \"" + FileName + "\" (" + std::to_string(Total) + " bytes, " +
           TransferProtocolName(Protocol) + "): started";
}

std::string TransferEndLine(const TTransferResult& R) {
    std::string line = "Send file \"" + R.FileName + "\" (" + std::to_string(R.Total) + " bytes, " +
                       TransferProtocolName(R.Protocol) + "): ";
    const std::string after = " after " + std::to_string(R.Bytes) + " bytes";
    switch (R.Outcome) {
    case TTransferOutcome::Done:
        return line + "done in " + Seconds(R.ElapsedMs) +
               (R.EndUnconfirmed ? " (the receiver did not confirm the end)" : "");
    case TTransferOutcome::Cancelled:
        return line + "cancelled" + after;
    case TTransferOutcome::ReceiverCancelled:
        return line + "failed: the receiver cancelled" + after;
    case TTransferOutcome::ReceiverNotStarted:
        return line + "failed: receiver did not start within " + WholeSeconds(R.TimeoutMs);
    case TTransferOutcome::TooManyRetries:
        return line + "failed: too many retries on block " + std::to_string(R.Block) + after;
    case TTransferOutcome::DeviceLost:
        return line + "failed: the device was lost" + after;
    case TTransferOutcome::FileUnreadable:
        return line + "failed: cannot read the file: " + R.Error;
    case TTransferOutcome::WriteRefused:
        return line + "failed: the port refused the data" + after;
    case TTransferOutcome::Stalled:
        return line + "failed: the port took nothing for " + WholeSeconds(R.TimeoutMs) + after;
    }
    return line;
}

TFileTransfer::TFileTransfer(TTransferParams Params, TTransferLink Link)
    : m_p(std::move(Params)), m_link(std::move(Link)) {
    m_result.Protocol = m_p.Protocol;
    m_result.FileName = std::filesystem::path(m_p.Path).filename().string();
}

TFileTransfer::~TFileTransfer() = default;

void TFileTransfer::Start() {
    if (m_state != TState::Idle)
        return;
    m_startMs = NowMs();
    m_state = m_p.Protocol == TTransferProtocol::Plain ? TState::PlainSending : TState::WaitStart;
    m_file.reset(std::fopen(m_p.Path.c_str(), "rbe"));
    if (!m_file) {
        Finish(TTransferOutcome::FileUnreadable, std::system_category().message(errno));
        return;
    }
    // A folder opens; asking its size is what says it is no file.
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(m_p.Path, ec);
    if (ec) {
        Finish(TTransferOutcome::FileUnreadable, ec.message());
        return;
    }
    m_result.Total = size;
    if (m_state == TState::PlainSending) {
        m_lastMove = m_startMs;
        PlainStep();
    } else {
        Arm(m_p.StartTimeoutMs);
    }
}

void TFileTransfer::Finish(TTransferOutcome Outcome, std::string Error) {
    if (!Running())
        return;
    m_state = TState::Finished;
    m_file.reset();
    m_result.Outcome = Outcome;
    m_result.Error = std::move(Error);
    m_result.Bytes = m_p.Protocol == TTransferProtocol::Plain ? m_written : m_acked;
    m_result.ElapsedMs = NowMs() - m_startMs;
    if (Outcome == TTransferOutcome::TooManyRetries)
        m_result.Block = m_blockSeq;
    if (Outcome == TTransferOutcome::ReceiverNotStarted)
        m_result.TimeoutMs = m_p.StartTimeoutMs;
    if (Outcome == TTransferOutcome::Stalled)
        m_result.TimeoutMs = m_p.BlockTimeoutMs;
    if (OnFinished)
        OnFinished(m_result);
}

bool TFileTransfer::Send(const std::string& Bytes) {
    if (m_link.Write(Bytes))
        return true;
    Finish(TTransferOutcome::WriteRefused);
    return false;
}

void TFileTransfer::Cancel() {
    if (!Running())
        return;
    // Eight CANs outlast a receiver that wants two in a row after line noise; the backspaces
    // take them off a screen that shows them.
    if (m_p.Protocol != TTransferProtocol::Plain)
        m_link.Write(std::string(8, CAN) + std::string(8, '\b'));
    Finish(TTransferOutcome::Cancelled);
}

void TFileTransfer::DeviceLost() {
    Finish(TTransferOutcome::DeviceLost);
}

void TFileTransfer::Feed(std::string_view Received) {
    if (m_p.Protocol == TTransferProtocol::Plain)
        return;
    for (char c : Received) {
        if (!Running())
            return;
        if (c == CAN) {
            if (++m_cans >= 2) {
                Finish(TTransferOutcome::ReceiverCancelled);
                return;
            }
            continue;
        }
        m_cans = 0;
        // Our reply to an earlier answer is still held, so this one answers what came before.
        if (m_heldTimeoutMs >= 0)
            continue;
        m_holdUntil = m_link.NowUs() + m_p.ReplyGuardUs;
        OnByte(c);
    }
}

void TFileTransfer::OnByte(char C) {
    const bool asks = C == NAK || C == 'C';
    switch (m_state) {
    case TState::WaitStart:
        if (!asks)
            return;
        m_crc = C == 'C';
        if (m_p.Protocol == TTransferProtocol::Ymodem)
            SendHeader(false);
        else
            SendFirst();
        return;
    case TState::WaitAck:
        if (C == ACK) {
            // After a quick retry a second ACK may follow for the copy; it must not pass for
            // the next block's, so answers are let go by for as long as the retry waited.
            if (m_quickSent)
                m_holdUntil = m_link.NowUs() + QuickRetryAfter();
            else if (m_outAt)
                m_slowest = std::max(m_slowest, m_link.NowUs() - m_outAt);
            m_acked += m_blockPayload;
            m_firstBlock = false;
            if (OnProgress && m_blockPayload)
                OnProgress(m_acked, m_result.Total);
            if (m_p.Protocol == TTransferProtocol::Ymodem && m_blockSeq == 0) {
                m_state = TState::WaitDataStart;
                m_retries = 0;
                Arm(m_p.BlockTimeoutMs);
            } else {
                SendNextBlock();
            }
        } else if (C == NAK || (C == 'C' && m_firstBlock)) {
            Resend();
        }
        return;
    case TState::WaitEotAck:
        if (C == ACK) {
            if (m_p.Protocol != TTransferProtocol::Ymodem) {
                Finish(TTransferOutcome::Done);
                return;
            }
            m_state = TState::WaitEndStart;
            m_retries = 0;
            Arm(m_p.BlockTimeoutMs);
        } else if (C == NAK) {
            Resend(); // YMODEM receivers refuse the first EOT on purpose
        }
        return;
    case TState::WaitDataStart:
        if (asks)
            SendFirst();
        return;
    case TState::WaitEndStart:
        if (asks)
            SendHeader(true);
        return;
    case TState::WaitEndAck:
        if (C == ACK)
            Finish(TTransferOutcome::Done);
        else if (asks)
            Resend();
        return;
    default:
        return;
    }
}

void TFileTransfer::Tick() {
    if (!Running())
        return;
    if (m_state == TState::PlainSending) {
        PlainStep();
        return;
    }
    const int64_t now = m_link.NowUs();
    if (m_heldTimeoutMs >= 0) {
        if (now >= m_holdUntil)
            Transmit(m_heldTimeoutMs);
        return;
    }
    // Blocks only: lrzsz's rx answers an EOT after a second of quiet, and an EOT sent again
    // within it makes it wait another second and then refuse.
    if (m_state == TState::WaitAck && !m_quickSent && m_p.QuickRetryMs > 0) {
        if (m_outAt == 0) {
            if (!m_link.Pending || m_link.Pending() == 0)
                m_outAt = now;
        } else if (now - m_outAt >= QuickRetryAfter()) {
            m_quickSent = true;
            if (!Send(m_block))
                return;
        }
    }
    if (NowMs() < m_deadline)
        return;
    switch (m_state) {
    case TState::WaitStart:
        Finish(TTransferOutcome::ReceiverNotStarted);
        return;
    case TState::WaitEotAck:
    case TState::WaitEndAck:
        if (m_state == TState::WaitEotAck && m_p.Protocol == TTransferProtocol::Ymodem) {
            Resend();
            return;
        }
        // The last answer of all: a receiver that leaves at once may flush it from the line
        // as it restores its terminal (seen with lrzsz over a pty). Every block is
        // acknowledged by now, so a silent receiver after one more try has the whole file.
        if (m_endTries++ == 0) {
            Transmit(m_p.EndTimeoutMs);
            return;
        }
        m_result.EndUnconfirmed = true;
        Finish(TTransferOutcome::Done);
        return;
    case TState::WaitDataStart:
    case TState::WaitEndStart:
        // Nothing of ours is out to send again: the receiver is silent, not refusing.
        if (++m_retries > m_p.RetryLimit) {
            Finish(TTransferOutcome::TooManyRetries);
            return;
        }
        Arm(m_p.BlockTimeoutMs);
        return;
    default:
        Resend();
        return;
    }
}

void TFileTransfer::Resend() {
    if (++m_retries > m_p.RetryLimit) {
        Finish(TTransferOutcome::TooManyRetries);
        return;
    }
    // An EOT sent again within the receiver's second of quiet after the last one restarts it.
    Transmit(m_state == TState::WaitEotAck ? m_p.EndTimeoutMs : m_p.BlockTimeoutMs);
}

// m_block goes out now, or when the reply guard ends; its timeout runs from then.
void TFileTransfer::Transmit(int TimeoutMs) {
    if (m_link.NowUs() < m_holdUntil) {
        m_heldTimeoutMs = TimeoutMs;
        return;
    }
    m_heldTimeoutMs = -1;
    m_outAt = 0;
    m_quickSent = false;
    if (Send(m_block))
        Arm(TimeoutMs);
}

int64_t TFileTransfer::QuickRetryAfter() const {
    return std::max<int64_t>(int64_t{m_p.QuickRetryMs} * 1000, 4 * m_slowest);
}

void TFileTransfer::SendFirst() {
    m_firstBlock = true;
    m_nextReady = false;
    SendNextBlock();
}

void TFileTransfer::SendNextBlock() {
    if (!m_nextReady) {
        m_nextReady = MakeDataBlock(m_next, m_nextPayload, static_cast<uint8_t>(m_number + 1));
        if (!Running())
            return;
    }
    m_retries = 0;
    ++m_blockSeq;
    if (!m_nextReady) {
        m_block.assign(1, EOT);
        m_blockPayload = 0;
        m_state = TState::WaitEotAck;
    } else {
        std::swap(m_block, m_next);
        m_blockPayload = m_nextPayload;
        m_nextReady = false;
        ++m_number;
        m_state = TState::WaitAck;
    }
    Transmit(m_state == TState::WaitEotAck ? m_p.EndTimeoutMs : m_p.BlockTimeoutMs);
    if (m_state == TState::WaitAck) // the next one is made while the receiver checks this one
        m_nextReady = MakeDataBlock(m_next, m_nextPayload, static_cast<uint8_t>(m_number + 1));
}

// YMODEM's block 0: the name, NUL, the size in decimal; an empty one ends the batch.
void TFileTransfer::SendHeader(bool Empty) {
    std::string info;
    if (!Empty) {
        info = m_result.FileName;
        info.push_back('\0');
        info += std::to_string(m_result.Total);
    }
    const size_t size = info.size() < 128 ? 128 : 1024;
    info.resize(std::min<size_t>(info.size(), size - 1));
    m_block.assign(3 + size + (m_crc ? 2 : 1), '\0');
    m_block[0] = size == 128 ? SOH : STX;
    m_block[1] = 0;
    m_block[2] = static_cast<char>(0xFF);
    std::memcpy(&m_block[3], info.data(), info.size());
    Seal(m_block, size);
    m_number = 0;
    m_blockSeq = 0;
    m_blockPayload = 0;
    m_retries = 0;
    m_firstBlock = true;
    m_state = Empty ? TState::WaitEndAck : TState::WaitAck;
    Transmit(Empty ? m_p.EndTimeoutMs : m_p.BlockTimeoutMs);
}

bool TFileTransfer::MakeDataBlock(std::string& Out, uint64_t& Payload, uint8_t Number) {
    const uint64_t left = m_result.Total - m_read;
    if (left == 0)
        return false;
    // 1K blocks need the CRC: a receiver that asked for the checksum gets 128-byte ones.
    const bool big = m_p.Protocol != TTransferProtocol::Xmodem && m_crc && left > ShortTail;
    const size_t size = big ? 1024 : 128;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, size));
    Out.assign(3 + size + (m_crc ? 2 : 1), Pad);
    Out[0] = big ? STX : SOH;
    Out[1] = static_cast<char>(Number);
    Out[2] = static_cast<char>(~Number);
    if (!ReadFile(&Out[3], n))
        return false;
    Seal(Out, size);
    Payload = n;
    return true;
}

void TFileTransfer::Seal(std::string& Out, size_t BlockSize) const {
    const char* data = Out.data() + 3;
    if (m_crc) {
        const uint16_t crc = Crc16(data, BlockSize);
        Out[3 + BlockSize] = static_cast<char>(crc >> 8);
        Out[4 + BlockSize] = static_cast<char>(crc & 0xFF);
    } else {
        unsigned sum = 0;
        for (size_t i = 0; i < BlockSize; ++i)
            sum += static_cast<uint8_t>(data[i]);
        Out[3 + BlockSize] = static_cast<char>(sum & 0xFF);
    }
}

bool TFileTransfer::ReadFile(char* Into, size_t Count) {
    const size_t got = std::fread(Into, 1, Count, m_file.get());
    if (got == Count) {
        m_read += got;
        return true;
    }
    Finish(TTransferOutcome::FileUnreadable, std::ferror(m_file.get())
                                                 ? std::system_category().message(errno)
                                                 : "the file got shorter while being sent");
    return false;
}

void TFileTransfer::PlainStep() {
    const int64_t now = NowMs();
    if (now < m_pauseUntil)
        return;
    const size_t pending = m_link.Pending ? m_link.Pending() : 0;
    if (pending != m_lastPending) {
        m_lastPending = pending;
        m_lastMove = now;
    }
    if (m_written == m_result.Total && m_chunkPos == m_chunk.size()) {
        if (pending == 0)
            Finish(TTransferOutcome::Done);
        else if (now - m_lastMove >= m_p.BlockTimeoutMs)
            Finish(TTransferOutcome::Stalled);
        return;
    }
    if (pending >= m_p.PlainBacklog) {
        if (now - m_lastMove >= m_p.BlockTimeoutMs)
            Finish(TTransferOutcome::Stalled);
        return;
    }
    size_t room = m_p.PlainBacklog - pending;
    while (room > 0 && Running()) {
        if (m_chunkPos == m_chunk.size()) {
            const uint64_t left = m_result.Total - m_read;
            if (left == 0)
                break;
            m_chunk.resize(static_cast<size_t>(std::min<uint64_t>(left, PlainRead)));
            m_chunkPos = 0;
            if (!ReadFile(m_chunk.data(), m_chunk.size()))
                return;
        }
        size_t take = std::min(room, m_chunk.size() - m_chunkPos);
        bool pause = false;
        if (m_p.LinePauseMs > 0) {
            const char* from = m_chunk.data() + m_chunkPos;
            const char* end = static_cast<const char*>(std::memchr(from, '\n', take));
            const char* cr = static_cast<const char*>(std::memchr(from, '\r', take));
            // CR LF is one line end: the pause comes after its LF.
            if (cr && (!end || cr < end) &&
                (cr + 1 == m_chunk.data() + m_chunk.size() || cr[1] != '\n'))
                end = cr;
            if (end) {
                take = static_cast<size_t>(end - from) + 1;
                pause = true;
            }
        }
        if (!Send(m_chunk.substr(m_chunkPos, take)))
            return;
        m_chunkPos += take;
        m_written += take;
        room -= take;
        m_lastMove = now;
        if (OnProgress)
            OnProgress(m_written, m_result.Total);
        if (pause) {
            m_pauseUntil = now + m_p.LinePauseMs;
            break;
        }
    }
    if (Running() && m_written == m_result.Total && (!m_link.Pending || m_link.Pending() == 0))
        Finish(TTransferOutcome::Done);
}
