#include "LogCapture.h"

#include "LogText.h"

#include <QFile>

#include <cerrno>
#include <system_error>

namespace {
// A piece this large goes to the writer at once: the main thread pays for one hand-over per
// 256 KB however small the appends are.
constexpr size_t HandOverBytes = 256 * 1024;
} // namespace

// Owns the file; writes the pieces handed to it in order, until told to stop, and then writes
// what is still queued before it leaves. Only this thread touches the file while it runs.
class TLogCapture::TWriter : public TThread {
public:
    explicit TWriter(std::unique_ptr<QFile> File) : m_file(std::move(File)) {}
    ~TWriter() override {
        Terminate();
        WaitFor(); // the file closes with m_file, after the thread has left
    }
    void Hand(std::string& Piece) {
        {
            std::lock_guard<std::mutex> l(m_lock);
            if (m_queue.empty())
                m_queue.swap(Piece);
            else
                m_queue += Piece;
        }
        Piece.clear();
        m_wake.notify_one();
    }
    // Stops the thread after the queue is written, then closes; the first error, or 0.
    int Finish() {
        Terminate();
        WaitFor();
        int e = m_error.load();
        // close() says nothing itself; a failed close leaves its error on the file.
        errno = 0;
        m_file->close();
        if (m_file->error() != QFileDevice::NoError && e == 0)
            e = errno != 0 ? errno : EIO;
        return e;
    }
    int Error() const { return m_error.load(); }

protected:
    void Execute() override {
        std::string piece;
        for (;;) {
            {
                std::unique_lock<std::mutex> l(m_lock);
                m_wake.wait(l, [this] { return !m_queue.empty() || Terminated(); });
                piece.swap(m_queue);
                m_queue.clear();
            }
            if (!piece.empty() && m_error.load() == 0)
                Write(piece);
            piece.clear();
            std::lock_guard<std::mutex> l(m_lock);
            if (Terminated() && m_queue.empty())
                return;
        }
    }
    void TerminateHook() override {
        std::lock_guard<std::mutex> l(m_lock);
        m_wake.notify_one();
    }

private:
    // The errno is read right after the call that failed: the toolkit's text for it may be
    // translated, and the window shows the system's. A failure that left no errno is taken for
    // the device's.
    void Write(const std::string& Piece) {
        const char* p = Piece.data();
        size_t left = Piece.size();
        while (left > 0) {
            errno = 0;
            const qint64 n = m_file->write(p, static_cast<qint64>(left));
            if (n <= 0) {
                m_error.store(errno != 0 ? errno : EIO);
                return;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
    const std::unique_ptr<QFile> m_file;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::string m_queue;
    std::atomic<int> m_error{0};
};

TLogCapture::TLogCapture() = default;

TLogCapture::~TLogCapture() {
    std::string ignored;
    Close(ignored);
}

bool TLogCapture::Open(const std::string& Path, std::string& Error) {
    std::string ignored;
    Close(ignored);
    // Unbuffered: each piece goes to the disk in one call, and a failure shows at that call.
    auto file = std::make_unique<QFile>(QString::fromStdString(Path));
    errno = 0;
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        const int e = errno;
        Error = e != 0 ? std::system_category().message(e) : file->errorString().toStdString();
        return false;
    }
    m_writer = std::make_unique<TWriter>(std::move(file));
    m_writer->Start();
    m_path = Path;
    m_gathered.clear();
    m_atLineStart = true;
    m_failureTaken = false;
    return true;
}

void TLogCapture::Append(const char* Data, size_t Size) {
    if (!m_writer || Size == 0)
        return;
    AppendLogAsUtf8(m_gathered, Data, Size);
    m_atLineStart = Data[Size - 1] == '\n';
    if (m_gathered.size() >= HandOverBytes)
        Flush();
}

void TLogCapture::StartLine() {
    if (m_writer && !m_atLineStart) {
        m_gathered += '\n';
        m_atLineStart = true;
    }
}

void TLogCapture::Flush() {
    if (m_writer && !m_gathered.empty())
        m_writer->Hand(m_gathered);
}

bool TLogCapture::Close(std::string& Error) {
    if (!m_writer)
        return true;
    Flush();
    const int e = m_writer->Finish();
    m_writer.reset();
    if (e != 0) {
        Error = std::system_category().message(e);
        return false;
    }
    return true;
}

std::optional<std::string> TLogCapture::TakeFailure() {
    if (!m_writer || m_failureTaken || m_writer->Error() == 0)
        return std::nullopt;
    m_failureTaken = true;
    return std::system_category().message(m_writer->Error());
}
