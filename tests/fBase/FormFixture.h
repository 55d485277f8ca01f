// A console window for tests: message boxes are recorded instead of shown.
#pragma once

#include "Baseform.h"
#include "EventPump.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <memory>

struct TFormFixture {
    std::unique_ptr<TBaseform> Form;
    QStringList Boxes, BoxTitles;

    TFormFixture() {
        Form = std::make_unique<TBaseform>();
        Form->ShowMessageBox = [this](const QString& Title, const QString& Text) {
            BoxTitles << Title;
            Boxes << Text;
        };
    }
    ~TFormFixture() {
        if (Form)
            Form->close();
    }
};
