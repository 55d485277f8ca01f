// The console's one window.
#pragma once

#include <QWidget>

class TBaseform : public QWidget {
    Q_OBJECT
public:
    explicit TBaseform(QWidget* Parent = nullptr);
};
