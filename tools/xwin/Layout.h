// Where the console's controls are, in pixels inside its window at the design size: the
// window's 3-pixel border, the right column (sPanel, 238 wide) and the bottom strip (iPanel,
// 100 high) placed as fBase/Baseform.cpp builds them, plus each control's own position.
#pragma once

#include "XWin.h"

#include <string>

namespace layout {

constexpr int WindowWidth = 636, WindowHeight = 467;
constexpr int Border = 3;
constexpr int SPanelX = Border + 630 - 238, SPanelY = Border;
constexpr int IPanelX = Border, IPanelY = Border + 461 - 100;
constexpr int InitX = SPanelX + 5, InitY = SPanelY + 5;       // " Initialization COM "
constexpr int SocketX = SPanelX + 5, SocketY = SPanelY + 62;  // " Initialization Socket "
constexpr int PortSetX = IPanelX + 0, PortSetY = IPanelY + 0; // " Port settings "
constexpr int CmdLnX = IPanelX + 214, CmdLnY = IPanelY + 28;  // " Сommand line "

struct TControl {
    const char* Name;
    TRect Rect;
};

// The controls the tests and the demo use, named as the window names them.
inline constexpr TControl Controls[] = {
    {"MemMess", {Border + 5, Border + 5, 382, 351}},
    {"RButDirect", {InitX + 6, InitY + 19, 80, 17}},
    {"RButPack", {InitX + 6, InitY + 37, 80, 17}},
    {"BtSet", {InitX + 164, InitY + 30, 58, 22}},
    {"ScrChBx", {InitX + 95, InitY + 21, 58, 16}},
    {"ChBxTreat", {InitX + 95, InitY + 37, 50, 16}},
    {"EdPort", {SocketX + 45, SocketY + 52, 37, 17}},
    {"ChBxActiv", {SocketX + 146, SocketY + 106, 75, 16}},
    {"edtHost", {SocketX + 93, SocketY + 86, 87, 17}},
    {"edtPort", {SocketX + 93, SocketY + 105, 37, 17}},
    {"BtnSet1", {SPanelX + 17, SPanelY + 199, 95, 22}},
    {"BtnSet2", {SPanelX + 17, SPanelY + 223, 95, 22}},
    {"BtnSet3", {SPanelX + 17, SPanelY + 247, 95, 22}},
    {"BtnSet4", {SPanelX + 17, SPanelY + 271, 95, 22}},
    {"BtnSet5", {SPanelX + 17, SPanelY + 295, 95, 22}},
    {"BtnSet6", {SPanelX + 17, SPanelY + 319, 95, 22}},
    {"BtnSet7", {SPanelX + 121, SPanelY + 199, 95, 22}},
    {"BtnSet8", {SPanelX + 121, SPanelY + 223, 95, 22}},
    {"Button9", {SPanelX + 121, SPanelY + 247, 95, 22}},
    {"BtnSet10", {SPanelX + 121, SPanelY + 271, 95, 22}},
    {"Button11", {SPanelX + 121, SPanelY + 295, 95, 22}},
    {"Button12", {SPanelX + 121, SPanelY + 319, 95, 22}},
    {"ComboPortNum", {PortSetX + 6, PortSetY + 16, 90, 21}},
    {"ComboBaudrate", {PortSetX + 6, PortSetY + 42, 90, 21}},
    {"BtnOpen", {PortSetX + 100, PortSetY + 43, 48, 22}},
    {"BtnClose", {PortSetX + 152, PortSetY + 43, 48, 22}},
    {"ChBxDTR", {PortSetX + 99, PortSetY + 24, 46, 16}},
    {"ChBxRTS", {PortSetX + 146, PortSetY + 24, 46, 16}},
    {"EdCmdLn", {CmdLnX + 5, CmdLnY + 14, 296, 23}},
    {"BtTransmit", {CmdLnX + 306, CmdLnY + 15, 50, 22}},
    {"BtnETX", {CmdLnX + 360, CmdLnY + 15, 50, 22}},
    {"ButtonReset", {IPanelX + 220, IPanelY + 2, 90, 18}},
};

// The rectangle of a named control; W = 0 when there is no such control.
inline TRect Control(const std::string& Name) {
    for (const TControl& c : Controls)
        if (Name == c.Name)
            return c.Rect;
    return {};
}

// The inside of status bar panel N (0 to 8) without its bevel: where its text is drawn.
inline TRect StatusPanel(int N) {
    constexpr int widths[] = {50, 50, 50, 50, 50, 50, 150, 150, 50};
    int x = IPanelX;
    for (int i = 0; i < N; ++i)
        x += widths[i];
    return {x + 2, IPanelY + 74 + 4, widths[N] - 5, 26 - 7};
}

} // namespace layout
