// What a careless operator, a broken device or a stranger on the network may give the console:
// each has one clear outcome and loses nothing that should be kept.
#include "ConsoleSupport.h"
#include "IdUDPServer.h"
#include "UdpPeer.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <thread>

namespace {

// The console listening on a port the system chose, "To Sock" aimed at the test's own socket.
struct TListening : TConsoleFixture {
    TUdpPeer Peer;
    int ConsolePort = 0;
    TListening() {
        Form->EdPort->setText("0");
        Form->ChBxActiv->setChecked(true);
        ConsolePort = Form->UDPServer->Bindings()[0].Port;
        Form->edtHost->setText("127.0.0.1");
        Form->edtPort->setText(QString::number(Peer.Port()));
    }
};

// What a handler wrote on standard error while Fn ran.
template <class F> std::string StderrOf(F Fn) {
    testing::internal::CaptureStderr();
    Fn();
    return testing::internal::GetCapturedStderr();
}

// One line that ends with Text.
bool OneLineEndingWith(const std::string& Err, const std::string& Text) {
    return Err.size() > Text.size() && Err.back() == '\n' && Err.find('\n') == Err.size() - 1 &&
           Err.compare(Err.size() - 1 - Text.size(), Text.size(), Text) == 0;
}

} // namespace

TEST(BadInput, PortBoxesThatHoldNoPortRefuseWithALineOnStandardError) {
    const char* texts[] = {"abc", "", "12x", "2147483648", "99999999999", "-99999999999"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        {
            // "Activation": the box stays ticked, the endpoint inactive, no message box.
            TConsoleFixture f;
            f.W().EdPort->setText(text);
            const std::string err = StderrOf([&] { f.W().ChBxActiv->setChecked(true); });
            EXPECT_TRUE(f.W().ChBxActiv->isChecked());
            EXPECT_FALSE(f.W().UDPServer->Active());
            EXPECT_TRUE(
                OneLineEndingWith(err, "'" + std::string(text) + "' is not a valid integer value"))
                << err;
            EXPECT_TRUE(f.Boxes.isEmpty());
            // Unticking and ticking again with a good port works.
            f.W().ChBxActiv->setChecked(false);
            f.W().EdPort->setText("0");
            f.W().ChBxActiv->setChecked(true);
            EXPECT_TRUE(f.W().UDPServer->Active());
        }
        {
            // "To Sock": nothing is sent.
            TListening f;
            f.W().EdCmdLn->setText("AT");
            f.W().edtPort->setText(text);
            const std::string err = StderrOf([&] { f.W().BtnETX->click(); });
            EXPECT_TRUE(
                OneLineEndingWith(err, "'" + std::string(text) + "' is not a valid integer value"))
                << err;
            EXPECT_EQ(f.Peer.Receive(100), std::nullopt);
            EXPECT_TRUE(f.Boxes.isEmpty());
            EXPECT_EQ(f.W().EdCmdLn->text(), "AT");
        }
    }
}

TEST(BadInput, APortOutsideTheRangeIsTakenByItsLow16Bits) {
    // Negative and too-large numbers that still read as integers name a port by their low 16
    // bits, as a 16-bit port field takes them: for "To Sock" the test's socket receives.
    TListening f;
    const int p = f.Peer.Port();
    for (int port : {p - 65536, p + 65536, p - 2 * 65536}) {
        SCOPED_TRACE(port);
        f.W().edtPort->setText(QString::number(port));
        f.W().EdCmdLn->setText("AT+P");
        const std::string err = StderrOf([&] { f.W().BtnETX->click(); });
        EXPECT_EQ(f.Peer.Receive(2000), std::optional<std::string>("AT+P\r"));
        EXPECT_EQ(err, "");
    }
    // "Activation" on -65536 listens on a port the system chose (low 16 bits 0).
    TConsoleFixture g;
    g.W().EdPort->setText("-65536");
    g.W().ChBxActiv->setChecked(true);
    ASSERT_TRUE(g.W().UDPServer->Active());
    EXPECT_NE(g.W().UDPServer->Bindings()[0].Port, 0);
}

TEST(BadInput, AMegabytePastedIntoTheCommandLineIsKeptWholeAndNeitherButtonSendsAPart) {
    TListening f;
    f.OpenDirect();
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    const QString big(1 << 20, QLatin1Char('p'));
    QApplication::clipboard()->setText(big);
    f.W().EdCmdLn->clear();
    f.W().EdCmdLn->paste();
    ASSERT_EQ(f.W().EdCmdLn->text().size(), big.size()) << "the paste was cut";
    // One datagram cannot carry it: nothing goes, and standard error says why.
    const std::string err = StderrOf([&] { f.W().BtnETX->click(); });
    EXPECT_TRUE(OneLineEndingWith(err, "Package Size Too Big.")) << err;
    EXPECT_EQ(f.Peer.Receive(200), std::nullopt);
    EXPECT_EQ(f.W().EdCmdLn->text(), big);
    EXPECT_TRUE(f.Boxes.isEmpty());
    EXPECT_TRUE(f.W().LogGetText().empty());

    // "To COM": more than the port's output queue can ever hold is refused at once as a
    // write error; the device gets no part of it, and the window goes on answering.
    f.W().BtTransmit->click();
    EXPECT_TRUE(f.LogIs("Error writing to: Port 1\r\n")) << Hex(f.W().LogGetText());
    EXPECT_EQ(f.Device.ReadFor(200), "");
    EXPECT_EQ(f.W().EdCmdLn->text(), big);
    EXPECT_TRUE(f.Boxes.isEmpty());
    // A line of ordinary length goes as before.
    f.W().EdCmdLn->setText("AT");
    f.W().BtTransmit->click();
    EXPECT_EQ(f.Device.ReadExactly(4), "AT\r\n");
}

TEST(BadInput, DatagramsOfEverySizeAndFullOfNulOr0xFF) {
    TListening f;
    struct TCase {
        const char* Name;
        std::string Data;
        std::string Logged;   // what the datagram adds to the log
        bool Stamped = false; // and then " >>> " and a stamp
    } cases[] = {
        {"empty", "", "\r\n"},
        {"8192 bytes, the buffer's size", std::string(8192, 'd'), "\r\n" + std::string(8192, 'd')},
        {"8193 bytes: longer than the usual buffer, whole", std::string(8193, 'e'),
         "\r\n" + std::string(8193, 'e')},
        {"65507 bytes, the most UDP carries, whole", std::string(65507, 'f'),
         "\r\n" + std::string(65507, 'f')},
        {"all NUL", std::string(600, '\0'), "\r\n"},
        {"all 0xFF", std::string(8192, '\xFF'), "\r\n" + std::string(8192, '\xFF')},
        {"0xFF, NUL, then a keyword", std::string(100, '\xFF') + std::string(100, '\0') + "IMEI",
         "\r\n" + std::string(100, '\xFF'), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        f.W().LogClear();
        f.Peer.SendTo(f.ConsolePort, c.Data);
        // The listener goes on after each: the next datagram always arrives.
        f.Peer.SendTo(f.ConsolePort, "next");
        ASSERT_TRUE(PumpUntil([&] {
            const std::string log = f.W().LogGetText();
            return log.size() >= 6 && log.compare(log.size() - 6, 6, "\r\nnext") == 0;
        }));
        const std::string log = f.W().LogGetText();
        if (c.Stamped)
            EXPECT_EQ(log.substr(0, c.Logged.size() + 5), c.Logged + " >>> ");
        else
            EXPECT_EQ(log, c.Logged + "\r\nnext");
    }
    EXPECT_TRUE(f.W().UDPServer->Active());
}

TEST(BadInput, AHundredMegabytesWithoutALineBreakAreKeptWholeAndTheWindowAnswers) {
    TConsoleFixture f;
    f.W().show();
    f.OpenDirect();
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    f.Device.ReadFor(20);
    f.W().LogClear();
    constexpr size_t Total = 100u << 20;
    // Printable bytes, no CR or LF, a pattern that shows a lost or doubled chunk.
    auto byteAt = [](size_t I) { return static_cast<char>('!' + (I * 7 + I / 4093) % 90); };
    std::atomic_bool writerOk{false};
    std::thread writer([&] {
        std::string chunk;
        bool ok = true;
        for (size_t at = 0; ok && at < Total; at += chunk.size()) {
            chunk.resize(std::min<size_t>(65536, Total - at));
            for (size_t k = 0; k < chunk.size(); ++k)
                chunk[k] = byteAt(at + k);
            ok = f.Device.Write(chunk, 60000);
        }
        writerOk = ok;
    });
    // While the bytes pour in, the window keeps serving its other messages: a timer keeps
    // firing, and an event posted halfway is handled before the end.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, longestGap = 0;
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
        ++ticks;
    });
    tick.start(10);
    size_t seenAt = 0;
    bool posted = false;
    const bool all = PumpUntil(
        [&] {
            const size_t n = f.W().LogSize();
            if (!posted && n >= Total / 2) {
                posted = true;
                QTimer::singleShot(0, [&] { seenAt = f.W().LogSize(); });
            }
            return n >= Total;
        },
        240000);
    writer.join();
    tick.stop();
    std::printf("100 MB in %lld ms, %d timer ticks, longest gap %lld ms\n",
                static_cast<long long>(clock.elapsed()), ticks, static_cast<long long>(longestGap));
    ASSERT_TRUE(writerOk);
    ASSERT_TRUE(all) << f.W().LogSize();
    const std::string log = f.W().LogGetText();
    ASSERT_EQ(log.size(), Total);
    size_t bad = Total;
    for (size_t i = 0; i < Total && bad == Total; ++i)
        if (log[i] != byteAt(i))
            bad = i;
    EXPECT_EQ(bad, Total) << "first wrong byte";
    EXPECT_GT(seenAt, 0u);
    EXPECT_LT(seenAt, Total) << "the posted event waited for the whole flood";
    EXPECT_TRUE(f.Boxes.isEmpty());
}

TEST(BadInput, TenThousandDatagramsASecondDoNotCostTheDeviceAnAnswer) {
    TListening f;
    f.OpenPacket(true);
    f.Device.ReadFor(20);
    const std::string kind1("\x1E\x02\x05\x01\xC3", 5), kind2("\x1E\x02\x06\x02\x74", 5);
    std::atomic_bool stop{false};
    std::atomic<long> sent{0};
    std::thread sender([&] {
        // 10 every millisecond for 10 seconds at most; bounded in count as well.
        TUdpPeer peer;
        QElapsedTimer t;
        t.start();
        long n = 0;
        while (!stop && t.elapsed() < 10000 && n < 100000) {
            const long due = (t.elapsed() + 1) * 10;
            for (; n < due && n < 100000; ++n)
                peer.SendTo(f.ConsolePort, "flood " + std::to_string(n));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        sent = n;
    });
    int requests = 0, missed = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        const std::string& req = requests % 2 ? kind2 : kind1;
        if (!f.Device.Write(req)) {
            ++missed;
            break;
        }
        ++requests;
        if (f.Device.ReadExactly(5, 3000) != req)
            ++missed;
    }
    stop = true;
    sender.join();
    size_t delivered = 0;
    const std::string log = f.W().LogGetText();
    for (size_t at = log.find("flood "); at != std::string::npos; at = log.find("flood ", at + 6))
        ++delivered;
    std::printf("%d requests answered of %d; %ld datagrams sent, %zu shown\n", requests - missed,
                requests, sent.load(), delivered);
    EXPECT_EQ(missed, 0);
    EXPECT_GT(requests, 10);
    EXPECT_GT(delivered, 0u);
    EXPECT_TRUE(f.Boxes.isEmpty());
}
