#include "ComMap.h"

#include "VaComMap.h"

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace devsim {

namespace {

std::string ErrnoText(int e) {
    return std::system_category().message(e);
}

bool MakeDirs(const std::string& Dir, std::string& Error) {
    for (size_t pos = 1; pos <= Dir.size(); ++pos) {
        if (pos != Dir.size() && Dir[pos] != '/')
            continue;
        const std::string part = Dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            Error = "cannot make the folder " + part + ": " + ErrnoText(errno);
            return false;
        }
    }
    return true;
}

} // namespace

TComEntryState ProbeComEntry(const std::string& Path) {
    TComEntryState s;
    struct stat st;
    if (::lstat(Path.c_str(), &st) != 0) {
        s.Type = TComEntryState::TType::Missing;
        return s;
    }
    if (!S_ISLNK(st.st_mode)) {
        s.Type = TComEntryState::TType::Other;
        return s;
    }
    s.Type = TComEntryState::TType::Symlink;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(Path.c_str(), buf, sizeof buf - 1);
    if (n >= 0)
        s.LinkTarget.assign(buf, static_cast<size_t>(n));
    char resolved[PATH_MAX];
    if (::realpath(Path.c_str(), resolved)) {
        s.TargetExists = true;
        s.Resolved = resolved;
        struct stat tst;
        s.ResolvedIsCharDevice = ::stat(resolved, &tst) == 0 && S_ISCHR(tst.st_mode);
    }
    return s;
}

std::optional<std::string> RefuseComEntry(const std::string& Path, const TComEntryState& State) {
    using T = TComEntryState::TType;
    switch (State.Type) {
    case T::Missing:
        return std::nullopt;
    case T::Other:
        return "refusing to replace " + Path +
               ": it is not a symbolic link; remove it yourself or choose another --com number";
    case T::Symlink:
        break;
    }
    if (!State.TargetExists)
        return std::nullopt; // dangling: its device is gone
    const std::string pts = "/dev/pts/";
    const bool isPty =
        State.ResolvedIsCharDevice && State.Resolved.rfind(pts, 0) == 0 &&
        State.Resolved.size() > pts.size() &&
        State.Resolved.find_first_not_of("0123456789", pts.size()) == std::string::npos;
    if (isPty)
        return std::nullopt;
    std::string where = State.LinkTarget;
    if (State.Resolved != State.LinkTarget)
        where += " (" + State.Resolved + ")";
    return "refusing to replace " + Path + ": it points at " + where +
           ", which is not a pseudo-terminal but may be a real device; choose another --com "
           "number, or remove the entry yourself if it is no longer wanted";
}

std::unique_ptr<TComEntry> TComEntry::Publish(int N, const std::string& Device,
                                              std::string& Error) {
    return PublishIn(VaComMapDir(VaConfigDir()), N, Device, Error);
}

std::unique_ptr<TComEntry> TComEntry::PublishIn(const std::string& Dir, int N,
                                                const std::string& Device, std::string& Error) {
    if (!MakeDirs(Dir, Error))
        return nullptr;
    const std::string path = Dir + "/COM" + std::to_string(N);
    if (auto refusal = RefuseComEntry(path, ProbeComEntry(path))) {
        Error = *refusal;
        return nullptr;
    }
    // Made under a private name and renamed over the entry, so a reader never sees it missing
    // or half made.
    const std::string temp =
        Dir + "/.COM" + std::to_string(N) + ".devsim." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(Device.c_str(), temp.c_str()) != 0) {
        Error = "cannot make the link " + temp + ": " + ErrnoText(errno);
        return nullptr;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        Error = "cannot place the link " + path + ": " + ErrnoText(errno);
        ::unlink(temp.c_str());
        return nullptr;
    }
    return std::unique_ptr<TComEntry>(new TComEntry(path, Device));
}

void TComEntry::Remove() {
    if (m_removed)
        return;
    m_removed = true;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(m_path.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == m_device)
        ::unlink(m_path.c_str());
}

} // namespace devsim
