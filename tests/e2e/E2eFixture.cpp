#include "E2eFixture.h"

// The locale's short date (numbers, or a month's name, in three parts), then maybe the time.
const char* StampPattern =
    R"([0-9A-Za-z]{1,9}([./ -])[0-9A-Za-z]{1,9}\1[0-9]{2,4}( [0-9]{1,2}:[0-9]{2}:[0-9]{2})?)";

// ---------------------------------------------------------------- fixture

void TConsoleTest::SetUp() {
    m_xvfb = std::make_unique<TXvfb>();
    m_config = std::make_unique<TConfigHome>();
    m_device = std::make_unique<TPtyDevice>();
    m_console = std::make_unique<TConsole>(TEVRO_CONSOLE_BIN);
}

void TConsoleTest::TearDown() {
    m_console.reset();
    m_device.reset();
    m_config.reset();
    m_xvfb.reset();
}

void TConsoleTest::OpenOnDevice(const std::string& ModeButton) {
    m_config->MapCom(1, m_device->SlavePath());
    Console().Click(ModeButton);
    ASSERT_TRUE(WaitFor([this] { return m_device->PeerOpen() && PanelHasText(0); }, 5000))
        << "the console did not open COM1";
}
