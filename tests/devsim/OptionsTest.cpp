// The command line: what each mode accepts, the defaults, and the refusals.
#include "Options.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace devsim;

namespace {

TParsed Parse(const std::string& Line) {
    std::istringstream in(Line);
    std::vector<std::string> args;
    for (std::string a; in >> a;)
        args.push_back(a);
    return ParseOptions(args);
}

} // namespace

TEST(DevSimOptions, DefaultsPerMode) {
    struct TCase {
        const char* Line;
        TStart Start;
        bool Pty, Udp;
        size_t Record;
    };
    const TCase cases[] = {
        {"text", TStart::Now, true, false, 65536},
        {"packet", TStart::Open, true, false, 0},
        {"flood-text", TStart::Open, true, false, 0},
        {"flood-bytes", TStart::Open, true, false, 0},
        {"udp", TStart::Now, false, true, 0},
        {"flood-udp --console-port 4000", TStart::Now, false, true, 0},
        {"text --console-port 4000", TStart::Now, true, true, 65536},
        // Another's terminal: its opens cannot be seen, so the work starts at once.
        {"packet --device /dev/pts/9", TStart::Now, true, false, 0},
        {"flood-bytes --device /dev/pts/9", TStart::Now, true, false, 0},
    };
    for (const TCase& c : cases) {
        const TParsed p = Parse(c.Line);
        ASSERT_TRUE(p.Options) << c.Line << ": " << p.Error;
        EXPECT_EQ(p.Options->Start, c.Start) << c.Line;
        EXPECT_EQ(p.Options->UsesPty(), c.Pty) << c.Line;
        EXPECT_EQ(p.Options->UsesUdp(), c.Udp) << c.Line;
        EXPECT_EQ(p.Options->RecordLimit, c.Record) << c.Line;
        EXPECT_EQ(p.Options->Com, 1);
    }
    const TOptions o = *Parse("packet").Options;
    EXPECT_EQ(o.Mix.Normal, 1000u);
    EXPECT_EQ(o.GapMs, 2u);
    EXPECT_EQ(o.TimeoutMs, 100u);
}

TEST(DevSimOptions, ValuesAreTaken) {
    const TParsed p = Parse("packet --com=7 --requests 20k --kind3 3 --empty 4 --damaged 5 "
                            "--garbage 6 --gap-ms 0 --timeout-ms 250 --seed 99 --start now "
                            "--probe-timeout 0 --events --no-stdin --time-limit 1.5");
    ASSERT_TRUE(p.Options) << p.Error;
    const TOptions& o = *p.Options;
    EXPECT_EQ(o.Com, 7);
    EXPECT_EQ(o.Mix.Normal, 20000u);
    EXPECT_EQ(o.Mix.Kind3, 3u);
    EXPECT_EQ(o.Mix.Empty, 4u);
    EXPECT_EQ(o.Mix.Damaged, 5u);
    EXPECT_EQ(o.Mix.Garbage, 6u);
    EXPECT_EQ(o.GapMs, 0u);
    EXPECT_EQ(o.TimeoutMs, 250u);
    EXPECT_EQ(o.Seed, 99u);
    EXPECT_EQ(o.Start, TStart::Now);
    EXPECT_EQ(o.ProbeTimeout, 0);
    EXPECT_TRUE(o.Events);
    EXPECT_FALSE(o.ReadStdin);
    EXPECT_EQ(o.TimeLimit, 1.5);

    const TOptions u = *Parse("udp --console-port 4000 --listen-port 4001 --send hello,act,text "
                              "--datagram contact\\r")
                            .Options;
    ASSERT_EQ(u.Datagrams.size(), 4u);
    EXPECT_EQ(u.Datagrams[0], *DatagramFor("hello"));
    EXPECT_EQ(u.Datagrams[1], *DatagramFor("act"));
    EXPECT_EQ(u.Datagrams[3], "contact\r");
    EXPECT_EQ(u.ListenPort, 4001);

    EXPECT_EQ(Parse("flood-text --bytes 5M").Options->Bytes, 5'000'000u);
    EXPECT_EQ(Parse("text --unsolicited +WIND:\\x204").Options->Unsolicited, "+WIND: 4");
}

TEST(DevSimOptions, RefusesWhatCannotWork) {
    struct TCase {
        const char* Line;
        const char* Says; // a part of the error text
    };
    const TCase cases[] = {
        {"", "no mode"},
        {"modem", "unknown mode"},
        {"text packet", "unexpected argument"},
        {"text --bogus 1", "unknown option"},
        {"text --com", "needs a value"},
        {"text --com 0", "--com"},
        {"text --com 256", "--com"},
        {"text --com x", "--com"},
        {"text --requests 5", "does not apply to text"},
        {"udp --com 2", "does not apply to udp"},
        {"packet --ring-every 5", "does not apply to packet"},
        {"udp --host 10.0.0.1 --console-port 5", "refusing to send to \"10.0.0.1\""},
        {"udp --host localhost --console-port 5", "only to 127.0.0.1"},
        {"udp --start open", "needs a pty"},
        {"packet --device /dev/pts/9 --start open", "cannot see the console open"},
        {"udp --device /dev/pts/9", "does not apply to udp"},
        {"text --start stdin --no-stdin", "--no-stdin"},
        {"text --start later", "now, open or stdin"},
        {"flood-udp", "needs --console-port"},
        {"udp --send hello", "need --console-port"},
        {"udp --console-port 5 --send hello,bye", "unknown datagram kind \"bye\""},
        {"udp --console-port 70000", "--console-port"},
        {"flood-udp --console-port 5 --min-size 300 --max-size 200", "--min-size"},
        {"flood-udp --console-port 5 --min-size 10", "--min-size"},
        {"packet --requests 0", "--requests, --kind3, --empty, --damaged and --garbage are all 0"},
        {"text --events=yes", "--events takes no value"},
        {"text --device=", "--device wants the path of a terminal"},
        {"udp --host 10.0.0.1 --console-port 5", "--host: refusing"},
        {"packet --requests -5", "--requests"},
        {"packet --timeout-ms 0", "--timeout-ms"},
        {"text --time-limit 0", "--time-limit"},
        {"text --time-limit soon", "--time-limit"},
        {"text --empty-lines maybe", "ignore or error"},
        {"flood-text --bytes 0", "--bytes"},
        {"text --unsolicited \\q", "bad escape"},
    };
    for (const TCase& c : cases) {
        const TParsed p = Parse(c.Line);
        EXPECT_FALSE(p.Options) << c.Line;
        EXPECT_FALSE(p.Help) << c.Line;
        EXPECT_NE(p.Error.find(c.Says), std::string::npos) << c.Line << " -> " << p.Error;
    }
}

TEST(DevSimOptions, HelpWinsAndNamesEveryMode) {
    EXPECT_TRUE(Parse("--help").Help);
    EXPECT_TRUE(Parse("packet --requests 5 -h").Help);
    EXPECT_TRUE(Parse("bogus --help").Help);
    EXPECT_TRUE(Parse("--version").Version);
    EXPECT_TRUE(Parse("packet --bogus --version").Version);
    const std::string usage = UsageText();
    for (const char* word :
         {"text", "packet", "udp", "flood-text", "flood-bytes", "flood-udp", "--com", "--requests",
          "--console-port", "--listen-port", "--bytes", "--count", "--time-limit", "127.0.0.1"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
}
