// Sending a file to the device: as it is (Plain) or in the XMODEM family, driven by what the
// device sends back and by a timer. No port, no thread and no widget: the link is three calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

enum class TTransferProtocol { Plain, Xmodem, Xmodem1K, Ymodem };

const char* TransferProtocolName(TTransferProtocol Protocol);

struct TTransferParams {
    std::string Path;
    TTransferProtocol Protocol = TTransferProtocol::Xmodem;
    int LinePauseMs = 0;         // Plain: pause after each line end
    int StartTimeoutMs = 60'000; // the receiver's first NAK or 'C' must come by then
    int BlockTimeoutMs = 10'000; // an answer to a block (or EOT) must come by then
    int RetryLimit = 10;         // a block sent again this often fails the transfer
    // The answer to an EOT or YMODEM's empty header is waited for this long: more than the
    // second of quiet lrzsz's receivers wait for after an EOT, which a repeat would restart.
    // The very end is waited for twice; without an answer the transfer is done but says the
    // end was not confirmed.
    int EndTimeoutMs = 1300;
    // lrzsz's receivers write their ACK, NAK or 'C' and then flush their input; on a pty a
    // reply sent at once can land before that flush and vanish (strace: 1.8 ms between the
    // two calls when the receiver lost its CPU). Each reply waits this long after the answer;
    // it is due on the first Tick after that.
    int ReplyGuardUs = 500;
    // A block on the wire this long with no answer is sent once more at once, instead of
    // waiting for the receiver's own timeout (lrzsz: 6 s). Grows to 4x the slowest answer
    // seen, so a receiver that is merely slow is not sent duplicates.
    int QuickRetryMs = 250;
    // Plain: at most this much written but not yet on the wire, so a large file neither fills
    // memory nor leaves much behind to drain when cancelled.
    size_t PlainBacklog = 16 * 1024;
};

// What the transfer needs of the port. Write returns false when the port refused the bytes;
// Pending is what was written but is not on the wire yet (0 when unknown).
struct TTransferLink {
    std::function<bool(const std::string&)> Write;
    std::function<size_t()> Pending;
    std::function<int64_t()> NowUs; // a steady clock in microseconds
};

enum class TTransferOutcome {
    Done,
    Cancelled,          // by the user
    ReceiverCancelled,  // the device sent CAN CAN
    ReceiverNotStarted, // no NAK or 'C' within the start timeout
    TooManyRetries,     // Block was sent RetryLimit times more without an ACK
    DeviceLost,
    FileUnreadable, // Error holds the system's text
    WriteRefused,
    Stalled, // Plain: the port took nothing for the block timeout
};

struct TTransferResult {
    TTransferOutcome Outcome = TTransferOutcome::Done;
    TTransferProtocol Protocol = TTransferProtocol::Plain;
    std::string FileName; // without its folder
    uint64_t Bytes = 0;   // of the file, acknowledged (Plain: handed to the port)
    uint64_t Total = 0;
    int64_t ElapsedMs = 0;
    bool EndUnconfirmed = false; // Done, but the receiver's last answer never came
    uint32_t Block = 0; // with TooManyRetries: the block's number (YMODEM: 0 is the header)
    int TimeoutMs = 0;  // the one that ran out, for ReceiverNotStarted and Stalled
    std::string Error;
};

// The log's lines: `Send file "fw.bin" (123456 bytes, XMODEM-1K): started`, `...: done in
// 12.3 s`, `...: failed: receiver did not start within 60 s`.
std::string TransferStartLine(const std::string& FileName, uint64_t Total,
                              TTransferProtocol Protocol);
std::string TransferEndLine(const TTransferResult& Result);

class TFileTransfer {
public:
    TFileTransfer(TTransferParams Params, TTransferLink Link);
    ~TFileTransfer();
    TFileTransfer(const TFileTransfer&) = delete;
    TFileTransfer& operator=(const TFileTransfer&) = delete;

    // Opens the file and begins: Plain writes at once, the others wait for the receiver.
    // A file that cannot be read finishes at once (OnFinished is called from here).
    void Start();
    // Bytes the device sent while the transfer runs.
    void Feed(std::string_view Received);
    // Every few milliseconds while Running(): timeouts and Plain's pacing.
    void Tick();
    void Cancel();
    void DeviceLost();

    bool Running() const { return m_state != TState::Idle && m_state != TState::Finished; }
    const std::string& FileName() const { return m_result.FileName; }
    uint64_t Total() const { return m_result.Total; }

    // Called on the caller's thread from Start, Feed, Tick, Cancel or DeviceLost. OnFinished
    // comes exactly once per started transfer; the object may not be destroyed inside it.
    std::function<void(uint64_t Sent, uint64_t Total)> OnProgress;
    std::function<void(const TTransferResult& Result)> OnFinished;

private:
    enum class TState {
        Idle,
        PlainSending,
        WaitStart,     // for the first NAK or 'C'
        WaitAck,       // a block is out
        WaitEotAck,    // EOT is out
        WaitDataStart, // YMODEM: header acknowledged, the receiver's 'C' comes next
        WaitEndStart,  // YMODEM: file done, the 'C' for the closing header comes next
        WaitEndAck,    // YMODEM: the empty header is out
        Finished,
    };
    struct TFileCloser {
        void operator()(std::FILE* F) const { std::fclose(F); }
    };

    void Finish(TTransferOutcome Outcome, std::string Error = {});
    bool Send(const std::string& Bytes);
    void OnByte(char C);
    void Resend();
    void SendFirst();
    void SendNextBlock();
    void SendHeader(bool Empty);
    bool MakeDataBlock(std::string& Out, uint64_t& Payload, uint8_t Number);
    void Seal(std::string& Out, size_t BlockSize) const;
    bool ReadFile(char* Into, size_t Count);
    void PlainStep();
    void Transmit(int TimeoutMs);
    int64_t QuickRetryAfter() const;
    int64_t NowMs() const { return m_link.NowUs() / 1000; }
    void Arm(int Ms) { m_deadline = NowMs() + Ms; }

    TTransferParams m_p;
    TTransferLink m_link;
    TTransferResult m_result;
    TState m_state = TState::Idle;
    std::unique_ptr<std::FILE, TFileCloser> m_file;
    int64_t m_startMs = 0;
    int64_t m_deadline = 0;
    bool m_crc = true;
    unsigned m_cans = 0; // CANs in a row from the receiver

    // X/YMODEM: the block out and the one after it, made while the receiver checks the first.
    std::string m_block, m_next;
    uint64_t m_blockPayload = 0, m_nextPayload = 0; // file bytes in each
    bool m_nextReady = false;
    uint8_t m_number = 0;    // of the block out
    uint32_t m_blockSeq = 0; // the block out counted from the start, for the failure text
    uint64_t m_read = 0;     // file bytes read so far
    uint64_t m_acked = 0;    // file bytes acknowledged
    int m_retries = 0;
    int m_endTries = 0;
    bool m_firstBlock = true; // a 'C' or NAK for the first block still means "send it again"

    // Replies held back by ReplyGuardUs, and the quick retry of a block with no answer; in
    // microseconds.
    int64_t m_holdUntil = 0;
    int m_heldTimeoutMs = -1; // >= 0: m_block goes out when the hold ends, then this is armed
    int64_t m_outAt = 0;      // when the block out was seen fully on the wire; 0: not yet
    int64_t m_slowest = 0;    // the longest answer to a block sent once
    bool m_quickSent = false; // the block out was sent again by the quick retry

    // Plain
    std::string m_chunk;
    size_t m_chunkPos = 0;
    uint64_t m_written = 0;
    int64_t m_pauseUntil = 0;
    size_t m_lastPending = 0;
    int64_t m_lastMove = 0;
};
