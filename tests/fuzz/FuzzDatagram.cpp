// The console's handling of a received datagram over random bytes, in a window of its own on
// the offscreen platform with the serial port closed. The expected log is worked out here from
// the rules: a new line; for an activation message (A, C, T in a row, any case) only
// "Activation " and the stamp; else the bytes before the first NUL that are not control
// characters, then one " >>> " suffix per keyword SSI, HELLO, IMEI, in that order.
#include "Baseform.h"
#include "FuzzCheck.h"
#include "IdUDPServer.h"

#include <QApplication>
#include <QLineEdit>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>
#include <string>

namespace {

TBaseform* Form = nullptr;

bool Contains(const std::string& Upper, const char* Word) {
    return Upper.find(Word) != std::string::npos;
}

// A stamp: a short date, then maybe a blank and a time; never a line break or a '>'.
bool IsStamp(const std::string& S) {
    if (S.empty() || S.size() > 40)
        return false;
    for (char c : S)
        if (c == '\r' || c == '\n' || c == '>')
            return false;
    return S[0] >= '0' && S[0] <= '9';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* Argc, char*** Argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(*Argc, *Argv); // lives for the whole run
    Form = new TBaseform;
    Form->ShowMessageBox = [](const QString&, const QString&) {};
    // The window stops its responder thread when it goes; that must happen before the exit
    // takes down what the thread's main-thread calls use.
    std::atexit([] { delete Form; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider in(Data, Size);
    std::string data = in.ConsumeBytesAsString(in.remaining_bytes());
    // Keywords are what the handler looks for: plant some.
    static const char* const words[] = {"ssi", "HELLO", "ImEi", "act", "\0", "\r\n"};
    if (data.size() > 2 && (static_cast<unsigned char>(data[0]) & 0x0F) == 0x0F) {
        const size_t at = static_cast<unsigned char>(data[1]) % data.size();
        data.insert(at, words[static_cast<unsigned char>(data[0]) >> 4 & 3]);
    }

    static TIdSocketHandle binding(0);
    binding.SenderIP = "127.0.0.1";
    binding.SenderPort = 4000 + static_cast<int>(Size % 1000);
    Form->edtHost->setText("127.0.0.1");
    Form->LogSetText("before");
    Form->UDPServerUDPRead(Form->UDPServer.get(), data, binding);
    const std::string log = Form->LogGetText();

    FUZZ_CHECK(Form->edtHost->text() == "127.0.0.1");
    FUZZ_CHECK(Form->edtPort->text() == QString::number(binding.SenderPort));
    std::string upper = data;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (Contains(upper, "ACT")) {
        // The closed port refuses the relay; its report is replaced by the activation line.
        FUZZ_CHECK(log.rfind("Activation ", 0) == 0);
        FUZZ_CHECK(IsStamp(log.substr(11)));
        return 0;
    }
    std::string shown;
    for (char c : data) {
        if (c == '\0')
            break;
        if (static_cast<unsigned char>(c) >= 32)
            shown += c;
    }
    const std::string head = "before\r\n" + shown;
    FUZZ_CHECK(log.rfind(head, 0) == 0);
    std::string rest = log.substr(head.size());
    for (const char* word : {"SSI", "HELLO", "IMEI"}) {
        if (!Contains(upper, word))
            continue;
        std::string prefix = " >>> ";
        if (std::string(word) == "HELLO")
            prefix += "127.0.0.1  ";
        FUZZ_CHECK(rest.rfind(prefix, 0) == 0);
        rest.erase(0, prefix.size());
        const size_t next = rest.find(" >>> ");
        FUZZ_CHECK(IsStamp(rest.substr(0, next)));
        rest.erase(0, next == std::string::npos ? rest.size() : next);
    }
    FUZZ_CHECK(rest.empty());
    // The window's own messages (the log view's updates) do not pile up.
    if (Size % 64 == 0)
        QCoreApplication::processEvents();
    return 0;
}
