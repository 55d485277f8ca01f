// The window's look: the faces its layout is drawn for, its icon and the application style.
#pragma once

#include <QFont>
#include <QIcon>
#include <initializer_list>

// The first of Families that this machine has, at PixelSize.
QFont Font(std::initializer_list<QString> Families, int PixelSize, bool Bold = false);
QIcon MakeIcon();
// Gives the application the look the window's layout is drawn for.
void ApplyConsoleStyle();
