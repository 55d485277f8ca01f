// Sending files: lrzsz's receivers on the far end of a pty are the oracle for the sender, and
// lrzsz's senders for the simulator's receiver; a relay between two ptys spoils bytes.
#include "TransferRig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace fs = std::filesystem;
using P = TTransferProtocol;

namespace {

// A folder of its own for each case, removed at the end.
struct TTempDir {
    fs::path Path;
    TTempDir() {
        char tmpl[] = "/tmp/tevro-transfer-XXXXXX";
        Path = ::mkdtemp(tmpl);
    }
    ~TTempDir() { fs::remove_all(Path); }
    std::string Write(const std::string& Name, const std::string& Bytes) const {
        std::ofstream(Path / Name, std::ios::binary) << Bytes;
        return (Path / Name).string();
    }
    std::string Read(const std::string& Name) const {
        std::ifstream f(Path / Name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
};

// CRC-32 from its definition, bit by bit, apart from the simulator's table.
uint32_t Crc32(const std::string& s) {
    uint32_t c = 0xFFFFFFFF;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

struct TRun {
    std::vector<TTransferResult> Results; // one, always
    bool InTime = false;
};

TRun Send(TTransferRig& Rig, TTransferParams Params, int TimeoutMs = 20000) {
    TRun run;
    TFileTransfer t(std::move(Params), Rig.Link());
    t.OnFinished = [&](const TTransferResult& r) { run.Results.push_back(r); };
    run.InTime = Rig.Run(t, TimeoutMs);
    return run;
}

// What an XMODEM receiver keeps: the file and the last block's padding, to 128 bytes.
std::string Padded(const std::string& File) {
    return File + std::string((128 - File.size() % 128) % 128, '\x1A');
}

// Every row at once, each on its own pty with its own receiver: lrzsz's receivers take about
// a second to close each file, which one after the other would add up to minutes.
TEST(TransferToLrzsz, EverySizeArrivesWhole) {
    struct TCase {
        P Protocol;
        bool Checksum; // the receiver asks for the checksum instead of the CRC
        size_t Size;
        TTempDir In, Out;
        std::string File;
        TPty Line;
        std::unique_ptr<TChild> Receiver;
        std::unique_ptr<TTransferRig> Rig;
        std::unique_ptr<TFileTransfer> Sender;
        std::vector<TTransferResult> Results;
    };
    std::vector<std::unique_ptr<TCase>> cases;
    for (size_t size : {0, 1, 127, 128, 129, 1023, 1024, 1025, 1 << 20})
        for (P p : {P::Xmodem, P::Xmodem1K, P::Ymodem})
            for (bool sum : {false, true}) {
                if (sum && (p != P::Xmodem || (size != 129 && size != 1025)))
                    continue;
                auto& c = *cases.emplace_back(std::make_unique<TCase>());
                c.Protocol = p;
                c.Checksum = sum;
                c.Size = size;
                c.File = SeededBytes(size, static_cast<uint32_t>(size));
                std::vector<std::string> argv = {"rx", "-b", "-c", "got.bin"};
                if (p == P::Ymodem)
                    argv = {"rb", "-b"};
                else if (sum)
                    argv.erase(argv.begin() + 2);
                c.Receiver = std::make_unique<TChild>(argv, c.Out.Path.string(), c.Line.Slave());
                c.Rig = std::make_unique<TTransferRig>(c.Line.Master());
                c.Sender = std::make_unique<TFileTransfer>(
                    TTransferParams{c.In.Write("fw.bin", c.File), p}, c.Rig->Link());
                c.Sender->OnFinished = [&c](const TTransferResult& r) { c.Results.push_back(r); };
                c.Sender->Start();
            }
    for (int64_t end = TTransferRig::NowMs() + 50'000; TTransferRig::NowMs() < end;) {
        bool busy = false;
        for (auto& c : cases) {
            c->Rig->Step(c->Sender.get(), 0);
            busy |= c->Sender->Running() || !c->Receiver->Poll();
        }
        if (!busy)
            break;
        const timespec tick{0, 100'000};
        ::ppoll(nullptr, 0, &tick, nullptr);
    }
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(TransferProtocolName(c->Protocol)) +
                     (c->Checksum ? " sum " : " ") + std::to_string(c->Size) + " bytes");
        ASSERT_EQ(c->Results.size(), 1u) << c->Out.Read("stderr.txt");
        EXPECT_EQ(c->Results[0].Outcome, TTransferOutcome::Done) << TransferEndLine(c->Results[0]);
        EXPECT_EQ(c->Results[0].Bytes, c->Size);
        EXPECT_EQ(c->Receiver->Poll(), 0);
        if (c->Protocol == P::Ymodem) // the name and the exact size came across
            EXPECT_TRUE(c->Out.Read("fw.bin") == c->File);
        else
            EXPECT_TRUE(c->Out.Read("got.bin") == Padded(c->File));
    }
}

// Bytes from the sender are lost or damaged on the way; the receiver's answers are not.
TEST(TransferFaults, SpoiledLineGivesTheFileOrAClearFailure) {
    struct TRow {
        P Protocol;
        double Drop, Damage;
        int Retries;
        TTransferOutcome Outcome;
    };
    // One byte in 20 000 spoiled, as on a poor cable; then one in 20, which spoils every block.
    const TRow rows[] = {
        {P::Xmodem1K, 0.00002, 0.00003, 10, TTransferOutcome::Done},
        {P::Ymodem, 0.00002, 0.00003, 10, TTransferOutcome::Done},
        {P::Xmodem, 0, 0.05, 3, TTransferOutcome::TooManyRetries},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(TransferProtocolName(row.Protocol));
        TTempDir in, out;
        const std::string file = SeededBytes(120000, 7);
        TPty near, far;
        TChild receiver(row.Protocol == P::Ymodem
                            ? std::vector<std::string>{"rb", "-b"}
                            : std::vector<std::string>{"rx", "-b", "-c", "fw.bin"},
                        out.Path.string(), far.Slave());
        TTransferRig rig(near.SlaveFd());
        rig.Relay(near.Master(), far.Master(), row.Drop, row.Damage, 42);
        TTransferParams p{in.Write("fw.bin", file), row.Protocol};
        p.BlockTimeoutMs = 700;
        p.RetryLimit = row.Retries;
        const TRun run = Send(rig, p, 30000);
        ASSERT_TRUE(run.InTime);
        ASSERT_EQ(run.Results.size(), 1u);
        const TTransferResult& r = run.Results[0];
        EXPECT_EQ(r.Outcome, row.Outcome) << TransferEndLine(r);
        EXPECT_GT(rig.Damaged(), 0u);
        if (row.Outcome == TTransferOutcome::Done) {
            EXPECT_TRUE(rig.RunUntil([&] { return receiver.Poll().has_value(); }, 5000));
            EXPECT_EQ(receiver.Poll(), 0);
            const std::string got = out.Read("fw.bin");
            EXPECT_TRUE((row.Protocol == P::Ymodem ? file : Padded(file)) == got);
        } else {
            EXPECT_EQ(r.Block, 1u);
            EXPECT_EQ(TransferEndLine(r), "Send file \"fw.bin\" (120000 bytes, XMODEM): failed: "
                                          "too many retries on block 1 after 0 bytes");
        }
    }
}

// The far end is played by hand: what it asks and what it sends back decide how it ends.
TEST(TransferEnds, HowATransferEndsAndWhatItSaysLast) {
    struct TRow {
        const char* Name;
        std::string Answer; // after the first block arrived; empty: the test cancels
        bool Start;         // the far end asks for the file at all
        TTransferOutcome Outcome;
        std::string TailSent; // the last bytes the sender put on the line
        std::string Line;
    };
    const std::string cancel = std::string(8, '\x18') + std::string(8, '\b');
    const TRow rows[] = {
        {"receiver cancels", "\x18\x18", true, TTransferOutcome::ReceiverCancelled, "",
         "failed: the receiver cancelled after 0 bytes"},
        {"user cancels", "", true, TTransferOutcome::Cancelled, cancel, "cancelled after 0 bytes"},
        {"never started", "", false, TTransferOutcome::ReceiverNotStarted, "",
         "failed: receiver did not start within 0.3 s"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TTempDir in;
        TPty line;
        TTransferRig rig(line.Master());
        TTransferParams p{in.Write("a.bin", SeededBytes(3000, 1)), P::Xmodem1K};
        p.StartTimeoutMs = 300;
        std::vector<TTransferResult> results;
        TFileTransfer t(p, rig.Link());
        t.OnFinished = [&](const TTransferResult& r) { results.push_back(r); };
        t.Start();
        EXPECT_EQ(TransferStartLine(t.FileName(), t.Total(), P::Xmodem1K),
                  "Send file \"a.bin\" (3000 bytes, XMODEM-1K): started");
        std::string seen;
        auto read = [&] {
            char b[4096];
            const ssize_t n = ::read(line.SlaveFd(), b, sizeof b);
            if (n > 0)
                seen.append(b, static_cast<size_t>(n));
            return seen.size();
        };
        if (row.Start) {
            ASSERT_EQ(::write(line.SlaveFd(), "C", 1), 1);
            ASSERT_TRUE(rig.RunUntil([&] { return read() >= 1029; }, 3000, &t));
            if (row.Answer.empty())
                t.Cancel();
            else
                ASSERT_EQ(::write(line.SlaveFd(), row.Answer.data(), row.Answer.size()),
                          ssize_t(row.Answer.size()));
        }
        seen.clear();
        ASSERT_TRUE(rig.Run(t, 3000));
        rig.RunUntil([&] { return read() >= row.TailSent.size(); }, 1000);
        t.Tick(); // nothing more after the end
        t.Cancel();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].Outcome, row.Outcome);
        EXPECT_EQ(seen, row.TailSent);
        EXPECT_EQ(TransferEndLine(results[0]),
                  "Send file \"a.bin\" (3000 bytes, XMODEM-1K): " + row.Line);
    }
}

TEST(TransferEnds, UnreadableFileSaysTheSystemsReason) {
    TPty line;
    TTransferRig rig(line.Master());
    const TRun run = Send(rig, {"/nonexistent/fw.bin", P::Ymodem});
    ASSERT_EQ(run.Results.size(), 1u);
    EXPECT_EQ(TransferEndLine(run.Results[0]),
              "Send file \"fw.bin\" (0 bytes, YMODEM): failed: cannot read the file: No such "
              "file or directory");
}

// Plain: the file's bytes as they are, with a pause after each line end when asked.
TEST(TransferPlain, BytesArriveAsTheyAreWithPausesAfterLineEnds) {
    struct TRow {
        std::string File;
        int PauseMs;
        int64_t AtLeastMs; // the pauses add up to this much
    };
    const TRow rows[] = {
        {SeededBytes(3 << 20, 3), 0, 0}, {"AT\r\nATI\rATZ\nend", 40, 120}, {"", 0, 0}};
    for (const TRow& row : rows) {
        TTempDir in;
        TPty line;
        TTransferRig rig(line.Master());
        std::string got;
        TFileTransfer t({in.Write("t.txt", row.File), P::Plain, row.PauseMs}, rig.Link());
        std::vector<TTransferResult> results;
        t.OnFinished = [&](const TTransferResult& r) { results.push_back(r); };
        t.Start();
        // The far end reads as the bytes come, as a device would, so the backlog drains.
        ASSERT_TRUE(rig.RunUntil(
            [&] {
                char b[65536];
                const ssize_t n = ::read(line.SlaveFd(), b, sizeof b);
                got.append(b, static_cast<size_t>(std::max<ssize_t>(n, 0)));
                return !t.Running() && got.size() >= row.File.size();
            },
            20000, &t));
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].Outcome, TTransferOutcome::Done);
        EXPECT_GE(results[0].ElapsedMs, row.AtLeastMs);
        EXPECT_TRUE(got == row.File) << got.size() << " of " << row.File.size();
    }
}

// The simulator's receiver against lrzsz's senders (the console's sender is checked against
// lrzsz's receivers above), judged by size and CRC-32 in the simulator's summary.
TEST(SimulatorReceiver, TakesFilesFromLrzszSenders) {
    const std::vector<std::vector<std::string>> rows = {{"xmodem", "sx", "-b"},
                                                        {"xmodem-crc", "sx", "-b"},
                                                        {"xmodem-1k", "sx", "-b", "-k"},
                                                        {"ymodem", "sb", "-b"}};
    for (std::vector<std::string> argv : rows) {
        const std::string protocol = argv[0];
        SCOPED_TRACE(protocol);
        TTempDir dir;
        const std::string file = SeededBytes(5000, 11);
        argv.erase(argv.begin());
        argv.push_back(dir.Write("data.bin", file));
        TPty near, far, idle;
        TChild sim({DEVSIM_BINARY, "download", "--device", far.Slave(), "--protocol", protocol,
                    "--no-stdin", "--linger", "0", "--time-limit", "20"},
                   dir.Path.string(), "");
        TChild sender(argv, dir.Path.string(), near.Slave());
        TTransferRig rig(idle.Master());
        rig.Relay(near.Master(), far.Master());
        EXPECT_TRUE(rig.RunUntil([&] { return sender.Poll() && sim.Poll(); }, 20000));
        EXPECT_EQ(sender.Poll(), 0);
        EXPECT_EQ(sim.Poll(), 0) << dir.Read("stderr.txt");
        const std::string summary = dir.Read("stdout.txt");
        const bool ymodem = protocol == "ymodem";
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", Crc32(ymodem ? file : Padded(file)));
        EXPECT_NE(summary.find("\"size\":" + std::to_string(ymodem ? 5000 : 5120)),
                  std::string::npos)
            << summary;
        EXPECT_NE(summary.find(std::string("\"crc32\":\"") + crc + "\""), std::string::npos)
            << summary;
        if (ymodem) {
            EXPECT_NE(summary.find("\"file_name\":\"data.bin\""), std::string::npos) << summary;
        }
    }
}

} // namespace
