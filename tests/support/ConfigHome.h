// A private configuration folder (so a private COM map) for the life of the object.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TConfigHome {
public:
    TConfigHome() {
        char tmpl[] = "/tmp/tevro-tests-XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        ::setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
    }
    ~TConfigHome() {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    TConfigHome(const TConfigHome&) = delete;
    TConfigHome& operator=(const TConfigHome&) = delete;
    const std::string& Dir() const { return m_dir; }
    // Maps COMn to Target in the COM map.
    void MapCom(int N, const std::string& Target) const {
        std::filesystem::create_directories(m_dir + "/tevro-console/com");
        std::filesystem::create_symlink(Target,
                                        m_dir + "/tevro-console/com/COM" + std::to_string(N));
    }

private:
    std::string m_dir;
};
