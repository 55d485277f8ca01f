// The socket stack's own logic: error texts, address texts, look-up rules and result checks.
#include "FakeStack.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

TEST(SocketErrorMessage, HoldsTheFixedTextOfEveryKnownCode) {
    const std::pair<int, const char*> table[] = {
        {10004, "Interrupted system call."},
        {10009, "Bad file number."},
        {10013, "Access denied."},
        {10014, "Bad address."},
        {10022, "Invalid argument."},
        {10024, "Too many open files."},
        {10035, "Operation would block. "},
        {10036, "Operation now in progress."},
        {10037, "Operation already in progress."},
        {10038, "Socket operation on non-socket."},
        {10039, "Destination address required."},
        {10040, "Message too long."},
        {10041, "Protocol wrong type for socket."},
        {10042, "Bad protocol option."},
        {10043, "Protocol not supported."},
        {10044, "Socket type not supported."},
        {10045, "Operation not supported on socket."},
        {10046, "Protocol family not supported."},
        {10047, "Address family not supported by protocol family."},
        {10048, "Address already in use."},
        {10049, "Cannot assign requested address."},
        {10050, "Network is down."},
        {10051, "Network is unreachable."},
        {10052, "Net dropped connection or reset."},
        {10053, "Software caused connection abort."},
        {10054, "Connection reset by peer."},
        {10055, "No buffer space available."},
        {10056, "Socket is already connected."},
        {10057, "Socket is not connected."},
        {10058, "Cannot send or receive after socket is closed."},
        {10059, "Too many references, cannot splice."},
        {10060, "Connection timed out."},
        {10061, "Connection refused."},
        {10062, "Too many levels of symbolic links."},
        {10063, "File name too long."},
        {10064, "Host is down."},
        {10065, "No route to host."},
        {10066, "Directory not empty"},
        {11001, "Host not found."},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(SocketErrorMessage(code),
                  "Socket Error # " + std::to_string(code) + "\r\n" + text);
}

TEST(SocketErrorMessage, EndsAfterTheLineBreakForAnUnknownCode) {
    for (int code : {0, 1, 10000, 10005, 10067, 11002, 12345, -5})
        EXPECT_EQ(SocketErrorMessage(code), "Socket Error # " + std::to_string(code) + "\r\n");
}

TEST(AddressText, WritesEachByteInDecimalWithoutLeadingZeros) {
    EXPECT_EQ(TIdStack::TInAddrToString({1, 0, 0, 7}), "1.0.0.7");
    EXPECT_EQ(TIdStack::TInAddrToString({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(TIdStack::TInAddrToString({255, 254, 10, 100}), "255.254.10.100");
    EXPECT_EQ(TIdStack::TInAddrToString({127, 0, 0, 1}), "127.0.0.1");
}

TEST(AddressText, ReadsEachPartAsAnIntegerAndKeepsItsLow8Bits) {
    struct {
        const char* Text;
        TIdInAddr Addr;
    } cases[] = {
        {"192.168.1.10", {192, 168, 1, 10}},
        {"010.001.000.007", {10, 1, 0, 7}}, // decimal, not octal
        {"1.2.3.256", {1, 2, 3, 0}},
        {"1.2.3.257", {1, 2, 3, 1}},
        {"-1.0.0.0", {255, 0, 0, 0}},
        {"$7F.0.0.1", {127, 0, 0, 1}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TIdStack::TranslateStringToTInAddr(c.Text), c.Addr) << c.Text;
}

TEST(AddressText, RefusesAPartThatIsNotAnIntegerNamingThatPart) {
    struct {
        const char* Text;
        const char* Part;
    } cases[] = {
        {"a.1.1.1", "a"},     {"1.2.3", ""}, {"1..2.3", ""},
        {"1.2.3.4.5", "4.5"}, {"", ""},      {"1.2.3.x", "x"},
    };
    for (const auto& c : cases) {
        try {
            TIdStack::TranslateStringToTInAddr(c.Text);
            ADD_FAILURE() << "no error for " << c.Text;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + c.Part + "' is not a valid integer value");
        }
    }
}

TEST(IsIP, AcceptsOnlyFourPartsFrom0To255) {
    struct {
        const char* Text;
        bool IsIP;
    } cases[] = {
        {"127.0.0.1", true},  {"0.0.0.0", true},    {"255.255.255.255", true},
        {"010.1.1.1", true},  {"1.2.3.256", false}, {"1..2.3", false},
        {"1.2.3.", false},    {".1.2.3", false},    {"1.2.3", false},
        {"1.2.3.4.5", false}, {"", false},          {"localhost", false},
        {"1.2.3.-1", false},  {"a.b.c.d", false},   {"1.2.3.4 ", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TIdStack::IsIP(c.Text), c.IsIP) << c.Text;
}

TEST(ResolveHost, GivesLoopbackForLocalhostInAnyCaseWithoutALookUp) {
    TFakeStack s;
    for (const char* name : {"localhost", "LOCALHOST", "LocalHost", "lOcAlHoSt"})
        EXPECT_EQ(s.ResolveHost(name), "127.0.0.1") << name;
    EXPECT_EQ(s.LookUps, 0);
}

TEST(ResolveHost, ReturnsAnAddressTextAsItStandsWithoutALookUp) {
    TFakeStack s;
    EXPECT_EQ(s.ResolveHost("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(s.ResolveHost("010.1.1.1"), "010.1.1.1");
    EXPECT_EQ(s.LookUps, 0);
}

TEST(ResolveHost, LooksUpEveryOtherTextAndGivesTheFirstAddress) {
    TFakeStack s;
    s.HostAddrs = {{10, 0, 0, 7}, {10, 0, 0, 8}};
    for (const char* text :
         {"device.local", "1.2.3.256", "1..2.3", "1.2.3.4.5", "", "localhost."}) {
        const int before = s.LookUps;
        EXPECT_EQ(s.ResolveHost(text), "10.0.0.7") << text;
        EXPECT_EQ(s.LookUps, before + 1) << text;
        EXPECT_EQ(s.LastLookUp, text);
    }
}

TEST(ResolveHost, RaisesTheLookUpsErrorWhenNothingIsFound) {
    TFakeStack s;
    s.HostFound = false;
    try {
        s.ResolveHost("nowhere");
        ADD_FAILURE() << "no error";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 11001);
        EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
    }
}

TEST(CheckForSocketError, PassesResultsOtherThanTheFailureValue) {
    TFakeStack s;
    s.LastError = 10048;
    for (int r : {0, 1, 8192, -2})
        EXPECT_FALSE(s.CheckForSocketError(r, {10048})) << r;
}

TEST(CheckForSocketError, ToleratesOnlyTheListedCodes) {
    TFakeStack s;
    s.LastError = 10048;
    EXPECT_TRUE(s.CheckForSocketError(-1, {10048}));
    EXPECT_TRUE(s.CheckForSocketError(-1, {10035, 10048}));
    try {
        s.CheckForSocketError(-1, {10035});
        ADD_FAILURE() << "no error";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10048);
        EXPECT_EQ(e.Message(), "Socket Error # 10048\r\nAddress already in use.");
    }
    s.LastError = 10022;
    EXPECT_THROW(s.CheckForSocketError(-1), EIdSocketError);
}

TEST(Select, RefusesMoreThan64SocketsBeforeWaiting) {
    TFakeStack s;
    TIdSocketList list(65, 3);
    try {
        s.Select(list, 0);
        ADD_FAILURE() << "no error";
    } catch (const EIdStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), "Set Size Exceeded.");
    }
    EXPECT_EQ(s.Selects, 0);
    list.resize(64);
    s.Select(list, 0);
    EXPECT_EQ(s.Selects, 1);
}

TEST(HostName, IsCutAtTheFirstNul) {
    TFakeStack s;
    s.HostNameBytes = std::string("ws12\0old-longer-name", 20);
    EXPECT_EQ(s.HostName(), "ws12");
    // A name that fills the whole 250-byte buffer has no NUL and is kept whole.
    s.HostNameBytes = std::string(300, 'h');
    EXPECT_EQ(s.HostName(), std::string(250, 'h'));
}

TEST(LocalAddresses, AreTheHostNamesAddressesInOrder) {
    TFakeStack s;
    s.HostNameBytes = std::string("box\0", 4);
    s.HostAddrs = {{192, 168, 0, 5}, {10, 1, 2, 3}, {127, 0, 1, 1}};
    EXPECT_EQ(s.LocalAddresses(),
              (std::vector<std::string>{"192.168.0.5", "10.1.2.3", "127.0.1.1"}));
    EXPECT_EQ(s.LastLookUp, "box");
    EXPECT_EQ(s.LocalHostAddress(), "192.168.0.5");
    // Rebuilt on every query, not appended to.
    s.HostAddrs = {{10, 9, 9, 9}};
    EXPECT_EQ(s.LocalAddresses(), (std::vector<std::string>{"10.9.9.9"}));
}

TEST(LocalAddresses, AnEmptyListHasNoFirstAddress) {
    TFakeStack s;
    s.HostAddrs = {};
    try {
        s.LocalHostAddress();
        ADD_FAILURE() << "no error";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (0)");
    }
    s.HostFound = false;
    EXPECT_THROW(s.LocalHostAddress(), EIdSocketError);
}

TEST(CreateSocketHandle, RaisesInvalidSocketWhenNoneCanBeHad) {
    TFakeStack s;
    s.NextSocket = Id_INVALID_SOCKET;
    try {
        s.CreateSocketHandle();
        ADD_FAILURE() << "no error";
    } catch (const EIdInvalidSocket& e) {
        EXPECT_EQ(e.Message(), "Cannot allocate socket.");
    }
}
