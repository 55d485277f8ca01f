#include "Application.h"
#include "DateStamp.h"
#include "FormFixture.h"
#include "LogView.h"
#include "StatusPanels.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

TEST(FormStartup, ControlsStartInTheirDesignState) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    EXPECT_EQ(w.windowTitle(), "  TEVRO SERVICE PROGRAM ");
    EXPECT_EQ(w.StatusBar->PanelCount(), 9);
    EXPECT_EQ(w.StatusBar->PanelText(6), QString::fromUtf8("Com-порт не выбран"));
    for (int i : {0, 1, 2, 3, 4, 5, 7, 8})
        EXPECT_TRUE(w.StatusBar->PanelText(i).isEmpty()) << "panel " << i;
    EXPECT_EQ(w.EdPort->text(), "50000");
    EXPECT_TRUE(w.LBufferSize->text().startsWith("Buffer size:  "));
    EXPECT_TRUE(w.LBufferSize->text().endsWith("8192"));
    EXPECT_TRUE(w.LHostName->text().startsWith("Host name:  "));
    EXPECT_EQ(w.edtPort->text(), "10501");
    EXPECT_FALSE(w.edtHost->text().isEmpty());
    EXPECT_EQ(w.GrBxCmdLn->title(), QString::fromUtf8(" \u0421ommand line "));
    EXPECT_EQ(w.GrBxInit->title(), " Initialization COM ");
    EXPECT_EQ(w.GroupBox1->title(), " Initialization Socket ");
    EXPECT_TRUE(w.GrBxSet->isHidden());
    EXPECT_FALSE(w.RButPack->isChecked());
    EXPECT_FALSE(w.RButDirect->isChecked());
    EXPECT_EQ(w.RButPackTag, 0);
    EXPECT_FALSE(w.ChBxTreat->isChecked());
    EXPECT_FALSE(w.ScrChBx->isChecked());
    EXPECT_FALSE(w.ChBxActiv->isChecked());
    EXPECT_FALSE(w.SysTimer->isActive());
    EXPECT_EQ(w.SysTimer->interval(), 5);
    EXPECT_TRUE(w.LogGetText().empty());
    EXPECT_FALSE(w.UDPServer->Active());
    EXPECT_FALSE(w.VaComm->IsOpen());

    ASSERT_EQ(w.ComboPortNum->count(), 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(w.ComboPortNum->itemText(i), QString("Com %1").arg(i + 1));
    EXPECT_EQ(w.ComboPortNum->currentText(), "Com 1");
    const QStringList rates = {"110",    "300",    "600",    "1200",   "2400",  "4800",  "9600",
                               "14400",  "19200",  "28800",  "38400",  "56000", "57600", "115200",
                               "128000", "256000", "230400", "460800", "921600"};
    ASSERT_EQ(w.ComboBaudrate->count(), rates.size());
    for (int i = 0; i < rates.size(); ++i)
        EXPECT_EQ(w.ComboBaudrate->itemText(i), rates[i]);
    EXPECT_EQ(w.ComboBaudrate->currentText(), "115200");
    EXPECT_EQ(w.VaComm->Databits(), db8);
    EXPECT_EQ(w.VaComm->Parity(), paNone);
    EXPECT_EQ(w.VaComm->Stopbits(), sb1);
}

TEST(FormStartup, PresetButtonsStandInTwoColumnsWithTheirCaptions) {
    TFormFixture f;
    const char* captions[] = {"AT+WOPEN=0",  "AT+WOPEN=1",    "AT+WOPEN=2",
                              "AT+WCFM=2",   "AT+WMFM=0,1,2", "AT+WFM=1,\"SIM3VONLY\"",
                              "AT+WMBS=5,1", "AT+STSF=0",     "AT+WIND=0",
                              "at+Factory",  "at+LogOn",      "AT F"};
    for (int i = 0; i < 12; ++i) {
        QPushButton* b = f.Form->Presets[i];
        EXPECT_EQ(b->text(), captions[i]);
        EXPECT_EQ(b->geometry(), QRect(i < 6 ? 17 : 121, 199 + 24 * (i % 6), 95, 22));
    }
    EXPECT_EQ(QString(f.Form->Presets[5]->text()).size(), 20);
}

TEST(FormStartup, FocusStartsOnToSockAndTheLogIsSkippedByTab) {
    TFormFixture f;
    f.Form->show();
    QApplication::setActiveWindow(f.Form.get());
    ASSERT_TRUE(PumpUntil([&] { return f.Form->isActiveWindow(); }));
    EXPECT_EQ(QApplication::focusWidget(), f.Form->BtnETX);
    EXPECT_EQ(f.Form->MemMess->focusPolicy(), Qt::ClickFocus);
}

TEST(FormStartup, ResizingGivesTheWholeChangeToTheLog) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    w.show();
    PumpFor(20);
    EXPECT_EQ(w.sPanel->width(), 238);
    EXPECT_EQ(w.iPanel->height(), 100);
    EXPECT_EQ(w.MemMess->geometry(), QRect(5, 5, 382, 351));
    const QSize log = w.MemMess->size();
    const QRect right = w.sPanel->geometry(), bottom = w.iPanel->geometry();
    w.resize(w.width() + 120, w.height() + 70);
    PumpFor(20);
    EXPECT_EQ(w.MemMess->size(), log + QSize(120, 70));
    EXPECT_EQ(w.sPanel->width(), right.width());
    EXPECT_EQ(w.sPanel->x(), right.x() + 120);
    EXPECT_EQ(w.iPanel->height(), bottom.height());
    EXPECT_EQ(w.iPanel->y(), bottom.y() + 70);
    EXPECT_EQ(w.StatusBar->width(), bottom.width() + 120);
}

TEST(FormLog, OperationsKeepCrLfBreaks) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    w.LogAddLine("X");
    EXPECT_EQ(w.LogGetText(), "X\r\n");
    w.LogClear();
    w.LogAppend("abc");
    w.LogAddLine("X");
    EXPECT_EQ(w.LogGetText(), "abc\r\nX");
    w.LogSetText("one\ntwo");
    EXPECT_EQ(w.LogGetText(), "one\r\ntwo");
    w.LogAppend("\r");
    w.LogAppend("\n");
    EXPECT_EQ(w.LogGetText(), "one\r\ntwo\r\n\r\n");
}

TEST(FormLog, ViewFollowsTheEndOnlyWhileScrolledToTheBottom) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    w.show();
    for (int i = 0; i < 500; ++i)
        w.LogAddLine("line " + std::to_string(i));
    QScrollBar* bar = w.MemMess->verticalScrollBar();
    // The view catches up within a frame.
    ASSERT_TRUE(PumpUntil([&] { return bar->maximum() == 500; }));
    EXPECT_EQ(bar->value(), bar->maximum());
    bar->setValue(10);
    PumpFor(10);
    for (int i = 0; i < 100; ++i)
        w.LogAddLine("more");
    ASSERT_TRUE(PumpUntil([&] { return bar->maximum() == 600; }));
    EXPECT_EQ(bar->value(), 10) << "the view jumped while the operator read higher up";
    bar->setValue(bar->maximum());
    w.LogAddLine("last");
    ASSERT_TRUE(PumpUntil([&] { return bar->maximum() == 601; }));
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST(FormLog, SelectAllCopiesTheWholeLogAsText) {
    TFormFixture f;
    f.Form->LogAppend("abc\r\n\xC0\xE1\xE2");
    f.Form->MemMess->SelectAll();
    EXPECT_EQ(f.Form->MemMess->SelectedText(), QString::fromUtf8("abc\nАбв"));
}

TEST(FormErrors, SerialErrorsAreShownInABoxCaptionedWithTheTitle) {
    TFormFixture f;
    HandleException(std::make_exception_ptr(EVaCommError("Read error (5), Input/output error")));
    ASSERT_EQ(f.Boxes.size(), 1);
    EXPECT_EQ(f.Boxes[0], "Read error (5), Input/output error");
    EXPECT_EQ(f.BoxTitles[0].toStdString(), ApplicationTitle());
    EXPECT_EQ(ApplicationTitle(), "fbase_tests");
}

TEST(FormErrors, OtherErrorsAreNotShownButWrittenToStandardError) {
    TFormFixture f;
    testing::internal::CaptureStderr();
    HandleException(std::make_exception_ptr(std::runtime_error("not a serial error")));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(f.Boxes.isEmpty());
    EXPECT_NE(err.find("not a serial error"), std::string::npos);
    // The window stays usable.
    f.Form->ButtonResetClick();
    EXPECT_TRUE(f.Form->LogGetText().empty());
}

TEST(FormErrors, AHandlerThatFailsStopsAndTheErrorReachesAppException) {
    TFormFixture f;
    f.Form->EdPort->setText("abc");
    testing::internal::CaptureStderr();
    f.Form->ChBxActiv->setChecked(true);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("'abc' is not a valid integer value"), std::string::npos);
    EXPECT_TRUE(f.Form->ChBxActiv->isChecked());
    EXPECT_FALSE(f.Form->UDPServer->Active());
    EXPECT_TRUE(f.Boxes.isEmpty());
}

TEST(FormStartup, EveryPresetCaptionFitsItsButton) {
    TFormFixture f;
    for (QPushButton* b : f.Form->Presets) {
        QFontMetrics fm(b->font());
        EXPECT_LE(fm.horizontalAdvance(b->text()), b->width() - 6)
            << b->text().toStdString() << " in " << QFontInfo(b->font()).family().toStdString();
    }
}

TEST(FormLog, ClicksRightAfterTheLogWasEmptiedSelectNothingStale) {
    TFormFixture f;
    TBaseform& w = *f.Form;
    w.show();
    for (int i = 0; i < 50; ++i)
        w.LogAddLine(std::string(60, 'a' + i % 26));
    QWidget* view = w.MemMess->viewport();
    ASSERT_TRUE(PumpUntil([&] { return w.MemMess->verticalScrollBar()->maximum() == 50; }));
    view->repaint();
    w.LogClear(); // the view has not been drawn since
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(100, view->height() - 10));
    QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(100, view->height() - 10));
    EXPECT_EQ(w.MemMess->SelectionStart(), 0u);
    EXPECT_EQ(w.MemMess->SelectionEnd(), 0u);
    w.LogAppend("word1 word2");
    view->repaint();
    QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(6, view->height() - 8));
    EXPECT_EQ(w.MemMess->SelectedText(), "word1");
}

TEST(DateTimeStamp, DateThenTimeWithSecondsAndNoTimeAtMidnight) {
    const QLocale german(QLocale::German, QLocale::Germany);
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QDate day(2026, 12, 7);
    EXPECT_EQ(DateTimeStamp(QDateTime(day, QTime(9, 5, 3)), german), "07.12.26 09:05:03");
    EXPECT_EQ(DateTimeStamp(QDateTime(day, QTime(0, 0, 0)), german), "07.12.26");
    EXPECT_EQ(DateTimeStamp(QDateTime(day, QTime(0, 0, 1)), german), "07.12.26 00:00:01");
    EXPECT_EQ(DateTimeStamp(QDateTime(day, QTime(13, 0, 0)), us), "12/7/26 1:00:00 PM");
}

// Every locale gives a readable stamp in the log's code page: no time-zone letter and nothing
// of what set it apart, and Latin digits and names where the locale's own are not in the code
// page. The moment has 07 seconds, so a dropped or unpadded seconds field shows.
TEST(DateTimeStamp, ReadableInEveryLocale) {
    const struct {
        const char* Locale;
        const char* Stamp;
    } cases[] = {
        {"ru_RU", "08.12.2026 14:50:07"},  {"uk_UA", "08.12.26 14:50:07"},
        {"be_BY", "8.12.26 14:50:07"},     {"de_DE", "08.12.26 14:50:07"},
        {"en_US", "12/8/26 2:50:07 PM"},   {"es_ES", "8/12/26 14:50:07"},
        {"fa_IR", "2026/12/8 14:50:07"},   {"ar_EG", "8/12/2026 2:50:07 PM"},
        {"ko_KR", "26. 12. 8. PM 2:50:7"}, {"C", "8 Dec 2026 14:50:07"},
    };
    const QDateTime when(QDate(2026, 12, 8), QTime(14, 50, 7));
    for (const auto& c : cases)
        EXPECT_EQ(DateTimeStamp(when, QLocale(QString::fromLatin1(c.Locale))), c.Stamp) << c.Locale;
}

// Every locale the toolkit knows: no character lost to "?", no bracket or comma left over from
// the zone, and the minutes always there.
TEST(DateTimeStamp, NoLocaleLeavesQuestionMarksOrZoneRemains) {
    const QDateTime when(QDate(2026, 12, 8), QTime(14, 50, 7));
    const auto locales =
        QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
    ASSERT_GT(locales.size(), 100);
    for (const QLocale& l : locales) {
        const std::string s = DateTimeStamp(when, l);
        const std::string name = l.name().toStdString();
        EXPECT_EQ(s.find('?'), std::string::npos) << name << ": " << s;
        EXPECT_EQ(s.find("()"), std::string::npos) << name << ": " << s;
        EXPECT_NE(s.back(), ',') << name << ": " << s;
        EXPECT_NE(s.back(), ' ') << name << ": " << s;
        EXPECT_NE(s.find("50"), std::string::npos) << name << ": " << s;
    }
}
