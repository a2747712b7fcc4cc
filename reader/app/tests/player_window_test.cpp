// The reader's window off-screen, controls found by their ids: start-up and the drive list, opening
// recordings of both families through the Open button, the pictures each box shows, the transport,
// the tabs and the time search, the context menu and the keys; and ScrydeReader run as a program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabBar>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <thread>

#include "encoder_dlg.h"
#include "player_app.h"
#include "player_controls.h"
#include "player_dlg.h"
#include "reader_test_util.h"
#include "save_file_dlg.h"

// Qt's font database keeps fontconfig objects that fontconfig itself never frees.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace player {
namespace {

using readertest::Boxes;
using readertest::Scratch;

QApplication& App() {
    static int argc = 1;
    static char name[] = "reader_window_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        InstallVideoBackend();
        return a;
    }();
    return *app;
}

template <class W> W* Find(QWidget& window, int id) {
    W* w = window.findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << id;
    return w;
}

// Lets the event loop run for `ms` milliseconds (queued repaints, the 100 ms timer).
void Pump(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The channel tagged in the picture box `index` shows, or -1.
int BoxChannel(CPlayerDlg& dlg, int index) {
    CVideoSurface* s = dlg.Box(index)->Surface();
    if (!s || !s->isVisible())
        return -1;
    const QImage p = s->Picture();
    int channel = -1;
    std::uint32_t value = 0;
    if (p.isNull() || !simm4v::ReadTagPacked(p.constBits(), p.width(), p.height(), p.bytesPerLine(),
                                             simm4v::PackedFormat::kBgrx, false, &channel, &value))
        return -1;
    return channel;
}

// Waits until every box of the layout shows the channel the core gave it.
void ExpectBoxesShowTheirChannels(CPlayerDlg& dlg, int mode, int channels) {
    std::vector<int> want, seen;
    for (int k = 0; k < reader::BoxesInLayout(mode); ++k)
        want.push_back(dlg.Core().Boxes()[reader::BoxIndex(mode, k)].channel);
    for (int tries = 0; tries < 200 && seen != want; ++tries) {
        Pump(50);
        seen.clear();
        for (int k = 0; k < reader::BoxesInLayout(mode); ++k) {
            const int c = BoxChannel(dlg, reader::BoxIndex(mode, k));
            seen.push_back(want[k] < channels ? c : want[k]);
        }
    }
    EXPECT_EQ(seen, want) << "layout " << mode;
}

void PickMenu(CPlayerDlg& dlg, int box, int command) {
    bool found = false;
    dlg.menuShown = [&](QMenu* menu) {
        for (QAction* a : menu->findChildren<QAction*>(QString::number(command)))
            if (a->isEnabled()) {
                a->trigger();
                found = true;
            }
    };
    dlg.ShowContextMenu(box, {});
    dlg.menuShown = nullptr;
    EXPECT_TRUE(found) << command;
}

TEST(ReaderWindow, DrivesAreListedAsTheyAreFound) {
    App();
    Scratch scratch;
    Boxes boxes;
    sim_tav::RecorderOptions tav = readertest::TavOptions(1);
    tav.realPictures = false;
    sim_tav::WriteTavDrive(scratch.File("tav.img"), tav);
    ::setenv("SCRYDE_DRIVES", ("1=" + scratch.File("tav.img")).c_str(), 1);
    CPlayerDlg dlg;
    int code = -1;
    ASSERT_TRUE(dlg.Initialise(&code));
    auto* list = Find<QComboBox>(dlg, kDriveList);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->itemText(0), "Local File...");
    dlg.RefreshDrives();
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(1), "HDD01 3.2GB");
    EXPECT_EQ(list->currentIndex(), 1);
    EXPECT_TRUE(boxes.Seen().empty());

    // The first drive scanned comes from the settings: past 15 nothing is found.
    dlg.Core().Settings().hdd = 16;
    dlg.RefreshDrives();
    EXPECT_TRUE(boxes.Saw("The hard drive cannot be recognized as a valid video drive. Try open another one.",
                          "Error"));
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(list->currentIndex(), 0);

    // Windows 7 is not among the systems the scan runs on.
    ::setenv("SCRYDE_WINVER", "7.0", 1);
    CPlayerDlg seven;
    ASSERT_TRUE(seven.Initialise(&code));
    boxes.Clear();
    seven.RefreshDrives();
    EXPECT_TRUE(boxes.Saw(
        "Veltrix Scryde application requires a Windows 2000, XP, or Vista operating system.", "Error"));
}

// Format HD on the list's rows: "Local File..." is no video drive; a drive row asks, and once
// answered with OK the drive no longer shows up as a recorder's.
TEST(ReaderWindow, FormatHdAsksAndTheDriveIsGone) {
    App();
    Scratch scratch;
    Boxes boxes;
    sim_tav::RecorderOptions tav = readertest::TavOptions(1);
    tav.realPictures = false;
    sim_tav::WriteTavDrive(scratch.File("tav.img"), tav);
    ::setenv("SCRYDE_DRIVES", ("1=" + scratch.File("tav.img")).c_str(), 1);
    CPlayerDlg dlg;
    int code = -1;
    ASSERT_TRUE(dlg.Initialise(&code));
    auto* format = Find<QPushButton>(dlg, kFormat);
    ASSERT_TRUE(format->isEnabled());
    QTest::mouseClick(format, Qt::LeftButton);
    EXPECT_TRUE(
        boxes.Saw("The playing media is not an Veltrix video drive \nand cannot be formatted.", "WARNING"))
        << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    dlg.RefreshDrives();
    ASSERT_EQ(Find<QComboBox>(dlg, kDriveList)->count(), 2);
    boxes.Clear();
    QTest::mouseClick(format, Qt::LeftButton); // the question's default answer is OK
    EXPECT_TRUE(boxes.Saw("The video drive has been successfully formatted!", "WARNING"));
    EXPECT_TRUE(reader::ScanDrives(1, 5).empty());
}

TEST(ReaderWindow, OpensAndPlaysBothFamiliesThroughTheControls) {
    App();
    Scratch scratch;
    Boxes boxes;
    const std::string orm = scratch.File("rec.orm");
    ASSERT_EQ(simorma::Write(orm, readertest::OrmaOptions()).error, "");
    sim_tav::RecorderOptions o = readertest::TavOptions(4);
    o.streamPackets = 300;
    const std::string arv = scratch.File("clip.arv");
    sim_tav::WriteTavStream(arv, o);
    const std::string ormBefore = readertest::Sha256Of(orm), arvBefore = readertest::Sha256Of(arv);

    CPlayerDlg dlg;
    int code = -1;
    ASSERT_TRUE(dlg.Initialise(&code));
    CKeyFilter keys(&dlg);
    App().installEventFilter(&keys);
    dlg.show();
    std::string chosen = orm;
    dlg.chooseFile = [&] { return chosen; };
    auto* open = Find<QPushButton>(dlg, kOpen);
    QTest::mouseClick(open, Qt::LeftButton);
    ASSERT_TRUE(dlg.Core().IsOpen()) << (boxes.Seen().empty() ? "" : boxes.Seen()[0].text);
    auto* segments = Find<QListWidget>(dlg, kSegmentList);
    ASSERT_EQ(segments->count(), 2);
    EXPECT_EQ(segments->item(0)->text(), "2009/03/01 08:00:00");
    EXPECT_TRUE(segments->isVisible());
    EXPECT_EQ(Find<QPushButton>(dlg, kPlay)->property("bitmap").toString(), "pause");
    EXPECT_EQ(Find<QLineEdit>(dlg, kSpeedLabel)->text(), "1x");
    EXPECT_TRUE(Find<QComboBox>(dlg, kModelList)->isEnabled());
    ExpectBoxesShowTheirChannels(dlg, 1, 4);
    Pump(300);
    EXPECT_EQ(Find<QLineEdit>(dlg, kTime)->text().left(10), "2009/03/01");

    // The second segment by its row; the time tab's fields follow the time shown.
    segments->setCurrentRow(1);
    Find<QPushButton>(dlg, kPlay)->click();
    Pump(500);
    EXPECT_EQ(Find<QLineEdit>(dlg, kTime)->text().left(10), "2009/03/02");
    Find<QTabBar>(dlg, kTabs)->setCurrentIndex(2);
    EXPECT_TRUE(Find<QLineEdit>(dlg, kYear)->isVisible());
    EXPECT_EQ(Find<QLineEdit>(dlg, kYear)->text(), "2009");
    EXPECT_EQ(Find<QLineEdit>(dlg, kDay)->text(), "2");
    EXPECT_FALSE(segments->isVisible());

    // Nine-way and sixteen-way layouts, then a channel swap in the quad layout.
    PickMenu(dlg, reader::BoxIndex(1, 0), kMenuDisplayMode + 3);
    ExpectBoxesShowTheirChannels(dlg, 3, 4);
    PickMenu(dlg, reader::BoxIndex(3, 0), kMenuDisplayMode + 1);
    PickMenu(dlg, reader::BoxIndex(1, 0), kMenuSetChannel + 2);
    EXPECT_EQ(dlg.Core().Boxes()[reader::BoxIndex(1, 2)].channel, 0);
    ExpectBoxesShowTheirChannels(dlg, 1, 4);
    // A double click shows that box's channel alone.
    QTest::mouseDClick(dlg.Box(reader::BoxIndex(1, 3)), Qt::LeftButton);
    EXPECT_EQ(dlg.Core().DisplayMode(), 0);
    ExpectBoxesShowTheirChannels(dlg, 0, 4);

    // A TAV stream file replaces it; the model list shows the MPEG-4 row, disabled.
    chosen = arv;
    QTest::mouseClick(open, Qt::LeftButton);
    ASSERT_TRUE(dlg.Core().IsTav());
    EXPECT_FALSE(Find<QComboBox>(dlg, kModelList)->isEnabled());
    EXPECT_EQ(Find<QComboBox>(dlg, kModelList)->currentIndex(), reader::kTavModelRow);
    PickMenu(dlg, 0, kMenuDisplayMode + 1);
    ExpectBoxesShowTheirChannels(dlg, 1, 4);

    // Speed: buttons and keys; 16x is the top.
    auto* speed = Find<QLineEdit>(dlg, kSpeedLabel);
    QTest::mouseClick(Find<QPushButton>(dlg, kSpeedUp), Qt::LeftButton);
    EXPECT_EQ(speed->text(), "2x");
    for (int i = 0; i < 5; ++i)
        QTest::keyClick(&dlg, Qt::Key_Up);
    EXPECT_EQ(speed->text(), "16x");
    QTest::keyClick(&dlg, Qt::Key_Down);
    EXPECT_EQ(speed->text(), "8x");
    QTest::keyClick(&dlg, Qt::Key_Left);
    EXPECT_TRUE(Find<QPushButton>(dlg, kBackward)->isChecked());
    EXPECT_FALSE(Find<QPushButton>(dlg, kForward)->isChecked());
    QTest::mouseClick(Find<QPushButton>(dlg, kForward), Qt::LeftButton);
    EXPECT_TRUE(Find<QPushButton>(dlg, kForward)->isChecked());
    for (int i = 0; i < 3; ++i)
        QTest::mouseClick(Find<QPushButton>(dlg, kSpeedDown), Qt::LeftButton);
    EXPECT_EQ(speed->text(), "1x");

    // Step, then play; Space pauses from running... and runs again.
    QTest::mouseClick(Find<QPushButton>(dlg, kStepForward), Qt::LeftButton);
    EXPECT_EQ(dlg.Core().State(), reader::PlayState::FrameStep);
    EXPECT_EQ(Find<QPushButton>(dlg, kPlay)->property("bitmap").toString(), "play");
    QTest::mouseClick(Find<QPushButton>(dlg, kPlay), Qt::LeftButton);
    EXPECT_EQ(dlg.Core().State(), reader::PlayState::Running);
    QTest::keyClick(&dlg, Qt::Key_Space);
    EXPECT_EQ(dlg.Core().State(), reader::PlayState::Stopped);
    QTest::keyClick(&dlg, Qt::Key_Space);
    EXPECT_EQ(dlg.Core().State(), reader::PlayState::Running);
    QTest::mouseClick(Find<QPushButton>(dlg, kEnd), Qt::LeftButton);
    EXPECT_TRUE(Find<QPushButton>(dlg, kBackward)->isChecked());
    QTest::mouseClick(Find<QPushButton>(dlg, kBegin), Qt::LeftButton);
    EXPECT_TRUE(Find<QPushButton>(dlg, kForward)->isChecked());
    Find<QSlider>(dlg, kSlider)->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(dlg.Core().State(), reader::PlayState::Running);
    Pump(300);
    EXPECT_EQ(Find<QLineEdit>(dlg, kTime)->text().left(11), "2010/01/01 ");

    // The time search: a day that does not exist does nothing, a time not recorded says so.
    Find<QTabBar>(dlg, kTabs)->setCurrentIndex(2);
    auto set = [&](const char* y, const char* mo, const char* d) {
        Find<QLineEdit>(dlg, kYear)->setText(y);
        Find<QLineEdit>(dlg, kMonth)->setText(mo);
        Find<QLineEdit>(dlg, kDay)->setText(d);
        QTest::mouseClick(Find<QPushButton>(dlg, kSet), Qt::LeftButton);
    };
    boxes.Clear();
    set("2100", "2", "29");
    EXPECT_TRUE(boxes.Seen().empty());
    set("2000", "2", "29");
    EXPECT_TRUE(boxes.Saw("Search time cannot be found on the hard drive", "ERROR"));

    // The archive marks.
    QTest::mouseClick(Find<QPushButton>(dlg, kMarkIn), Qt::LeftButton);
    EXPECT_EQ(Find<QLineEdit>(dlg, kMarkInText)->text().left(11), "2010/01/01 ");

    // The context menu of a TAV recording: no video standard, audio channels checked.
    dlg.menuShown = [&](QMenu* menu) {
        int videoMenus = 0;
        for (QMenu* sub : menu->findChildren<QMenu*>())
            if (sub->title() == "Video") {
                ++videoMenus;
                EXPECT_FALSE(sub->isEnabled());
            }
        EXPECT_EQ(videoMenus, 1);
        QAction* archive = menu->findChild<QAction*>(QString::number(kMenuArchive));
        ASSERT_NE(archive, nullptr);
        EXPECT_TRUE(archive->isEnabled());
    };
    dlg.ShowContextMenu(reader::BoxIndex(1, 0), {});
    dlg.menuShown = nullptr;
    PickMenu(dlg, reader::BoxIndex(1, 0), kMenuAudioChannel + 1);
    EXPECT_EQ(dlg.Core().Menu(0).audioChannel, 1);

    dlg.close();
    App().removeEventFilter(&keys);
    EXPECT_FALSE(dlg.Core().IsOpen());
    EXPECT_EQ(readertest::Sha256Of(orm), ormBefore);
    EXPECT_EQ(readertest::Sha256Of(arv), arvBefore);
}

std::string Output(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    ::pclose(p);
    return out;
}

std::string FileStart(const std::string& path, std::size_t n) {
    std::ifstream in(path, std::ios::binary);
    std::string s(n, '\0');
    in.read(s.data(), static_cast<std::streamsize>(n));
    s.resize(static_cast<std::size_t>(in.gcount()));
    return s;
}

// Opaque-green caption pixels in a rectangle of a saved picture.
int GreenPixels(const QImage& image, QRect r) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom() && y < image.height(); ++y)
        for (int x = r.left(); x <= r.right() && x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            n += qGreen(c) > 200 && qRed(c) < 90 && qBlue(c) < 90;
        }
    return n;
}

TEST(ReaderWindow, SnapshotsAndPrinting) {
    App();
    Scratch scratch;
    Boxes boxes;
    const std::string orm = scratch.File("rec.orm");
    ASSERT_EQ(simorma::Write(orm, readertest::OrmaOptions()).error, "");
    sim_tav::RecorderOptions o = readertest::TavOptions(4);
    o.streamPackets = 200;
    const std::string arv = scratch.File("clip.arv");
    sim_tav::WriteTavStream(arv, o);

    CPlayerDlg dlg;
    int code = -1;
    ASSERT_TRUE(dlg.Initialise(&code));
    dlg.show();
    std::string defaultName, target;
    dlg.chooseSaveName = [&](const std::string& name) {
        defaultName = name;
        return target;
    };
    auto pdfPrinter = [&](const std::string& path) {
        return [path]() {
            auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(QString::fromStdString(path));
            return printer;
        };
    };

    // ORMA: a JPEG of the field stretched to twice its height, the caption in green at the top left.
    ASSERT_TRUE(dlg.OpenPath(orm));
    ExpectBoxesShowTheirChannels(dlg, 1, 4);
    Pump(300); // the timer has shown the time
    target = scratch.File("orma.jpg");
    PickMenu(dlg, reader::BoxIndex(1, 0), kMenuSaveImage);
    EXPECT_EQ(defaultName.substr(0, 11), "2009-03-01_");
    EXPECT_EQ(defaultName.substr(defaultName.size() - 5), "_CH01");
    const std::string djpeg = Output("djpeg -pnm " + target + " | head -c 15");
    EXPECT_EQ(djpeg.substr(0, 2), "P6") << djpeg;
    QImage saved(QString::fromStdString(target));
    EXPECT_EQ(saved.width(), 176);
    EXPECT_EQ(saved.height(), 256);
    EXPECT_GT(GreenPixels(saved, {20, 5, 150, 30}), 40);
    // Upper-case JPG is not "jpg": a bitmap under that name.
    target = scratch.File("orma.JPG");
    PickMenu(dlg, reader::BoxIndex(1, 0), kMenuSaveImage);
    EXPECT_EQ(FileStart(target, 2), "BM");
    // Cancelled: nothing written.
    target.clear();
    PickMenu(dlg, reader::BoxIndex(1, 0), kMenuSaveImage);

    // TAV: the decoder's bitmap; channel index 2 gives "CH 3".
    ASSERT_TRUE(dlg.OpenPath(arv));
    ExpectBoxesShowTheirChannels(dlg, 1, 4);
    Pump(300);
    target = scratch.File("tav.bmp");
    PickMenu(dlg, reader::BoxIndex(1, 2), kMenuSaveImage);
    EXPECT_EQ(defaultName.substr(0, 11), "2010-01-01 ");
    EXPECT_EQ(defaultName.substr(defaultName.size() - 4), "CH 3");
    EXPECT_EQ(FileStart(target, 2), "BM");
    QImage tav(QString::fromStdString(target));
    EXPECT_EQ(tav.width(), 352);
    EXPECT_GT(GreenPixels(tav, {20, 5, 200, 30}), 40);

    // Printing to a PDF file: one page, the picture, the caption below it in the middle.
    const std::string pdf = scratch.File("print.pdf");
    dlg.choosePrinter = pdfPrinter(pdf);
    PickMenu(dlg, reader::BoxIndex(1, 0), kMenuPrintImage);
    const std::string info = Output("pdfinfo " + pdf);
    int pages = 0;
    const auto pagesAt = info.find("Pages:");
    ASSERT_NE(pagesAt, std::string::npos) << info;
    std::sscanf(info.c_str() + pagesAt, "Pages: %d", &pages);
    EXPECT_EQ(pages, 1) << info;
    EXPECT_NE(info.find("ORMA JPEG Image"), std::string::npos) << info;
    const std::string words = Output("pdftotext -bbox " + pdf + " -");
    const auto at = words.find(">CH01<");
    ASSERT_NE(at, std::string::npos) << words;
    const std::string line = words.substr(words.rfind("<word", at), at - words.rfind("<word", at));
    double xMin = 0, yMin = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "<word xMin=\"%lf\" yMin=\"%lf\"", &xMin, &yMin), 2) << line;
    {
        QPrinter probe(QPrinter::HighResolution);
        probe.setOutputFormat(QPrinter::PdfFormat);
        const QRectF paint = probe.pageLayout().paintRectPoints();
        const double scale = 72.0 / probe.resolution();
        const int P = probe.width();
        const double pictureBottom = paint.top() + P * 240.0 / 352.0 * scale;
        EXPECT_GT(yMin, pictureBottom);
        EXPECT_LT(yMin, pictureBottom + 40);
        // The date comes first: the line starts at P/2 − 300 device pixels.
        const auto first = words.find("<word", words.find("<page"));
        double x0 = 0;
        std::sscanf(words.c_str() + first, "<word xMin=\"%lf\"", &x0);
        EXPECT_NEAR(x0, paint.left() + (P / 2 - 300) * scale, 3.0);
    }
    EXPECT_NE(Output("pdftoppm -r 20 -png " + pdf + " " + scratch.File("page") + " && ls " + scratch.Path())
                  .find("page"),
              std::string::npos);
    // No printer chosen.
    boxes.Clear();
    dlg.choosePrinter = [] { return std::unique_ptr<QPrinter>(); };
    PickMenu(dlg, reader::BoxIndex(1, 0), kMenuPrintImage);
    EXPECT_TRUE(boxes.Saw("No selected printer!", "Error"));
    dlg.close();
}

TEST(ReaderWindow, ArchiveSavePanelAndRun) {
    App();
    Scratch scratch;
    Boxes boxes;
    sim_tav::RecorderOptions o = readertest::TavOptions(2);
    o.streamPackets = 200;
    const std::string arv = scratch.File("clip.arv");
    sim_tav::WriteTavStream(arv, o);
    const std::string before = readertest::Sha256Of(arv);
    CPlayerDlg dlg;
    int code = -1;
    ASSERT_TRUE(dlg.Initialise(&code));
    dlg.show();
    ASSERT_TRUE(dlg.OpenPath(arv));

    // The panel's rules, seen through its controls.
    const std::string avi = scratch.File("ch2.avi");
    dlg.fillSaveDialog = [&](CSaveFileDlg& save) {
        auto* fullSize = Find<QCheckBox>(save, kSaveFullSize);
        auto* time = Find<QCheckBox>(save, kSaveDrawTime);
        auto* capture = Find<QCheckBox>(save, kSaveCapture);
        auto* text = Find<QRadioButton>(save, kSaveText);
        EXPECT_TRUE(fullSize->isChecked());
        EXPECT_TRUE(time->isEnabled());
        EXPECT_FALSE(text->isEnabled());
        EXPECT_FALSE(Find<QLineEdit>(save, kSaveAddTextEdit)->isEnabled());
        QTest::mouseClick(Find<QCheckBox>(save, kSaveAddText), Qt::LeftButton);
        EXPECT_TRUE(Find<QLineEdit>(save, kSaveAddTextEdit)->isEnabled());
        QTest::mouseClick(Find<QCheckBox>(save, kSaveAddText), Qt::LeftButton);
        QTest::mouseClick(fullSize, Qt::LeftButton); // off: the text options follow
        EXPECT_FALSE(time->isEnabled());
        QTest::mouseClick(fullSize, Qt::LeftButton);
        QTest::mouseClick(capture, Qt::LeftButton);
        EXPECT_TRUE(text->isEnabled());
        QTest::mouseClick(text, Qt::LeftButton);
        QTest::mouseClick(capture, Qt::LeftButton); // off: the modes are cleared and disabled
        EXPECT_FALSE(text->isChecked());
        EXPECT_FALSE(text->isEnabled());
        auto* type = Find<QComboBox>(save, kSaveFileType);
        type->setCurrentIndex(2); // data only
        EXPECT_TRUE(capture->isChecked());
        EXPECT_FALSE(capture->isEnabled());
        EXPECT_TRUE(text->isChecked());
        EXPECT_FALSE(fullSize->isEnabled());
        type->setCurrentIndex(1); // disk image
        EXPECT_FALSE(capture->isChecked());
        EXPECT_FALSE(Find<QCheckBox>(save, kSaveChooseEncoder)->isEnabled());
        // The frames as recorded, in Matroska or MP4, after the recorder's own types.
        EXPECT_EQ(type->count(), 5);
        EXPECT_EQ(type->itemText(3).toStdString(), "Matroska, frames as recorded (.mkv)");
        Find<QLineEdit>(save, kSavePath)->setText("/tmp/x.tav");
        type->setCurrentIndex(3);
        EXPECT_EQ(Find<QLineEdit>(save, kSavePath)->text().toStdString(), "/tmp/x.mkv");
        EXPECT_FALSE(fullSize->isEnabled());
        EXPECT_FALSE(capture->isEnabled());
        EXPECT_EQ(save.Options().fileType, 4);
        type->setCurrentIndex(0);
        EXPECT_TRUE(fullSize->isEnabled());
        EXPECT_FALSE(fullSize->isChecked());
        // The text options stay as they are while "Full size" is off; with no text on the pictures
        // the recorded frames are copied.
        EXPECT_FALSE(time->isEnabled());
        QTest::mouseClick(fullSize, Qt::LeftButton);
        QTest::mouseClick(time, Qt::LeftButton);
        QTest::mouseClick(Find<QCheckBox>(save, kSaveDrawChannel), Qt::LeftButton);
        QTest::mouseClick(fullSize, Qt::LeftButton);
        Find<QLineEdit>(save, kSavePath)->setText(QString::fromStdString(avi));
        return true;
    };
    PickMenu(dlg, reader::BoxIndex(1, 1), kMenuArchive);
    EXPECT_TRUE(boxes.Seen().empty()) << boxes.Seen()[0].text;
    const std::string probe = Output(
        "ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width -of csv=p=0 " + avi);
    EXPECT_EQ(probe, "mpeg4,352\n");
    EXPECT_TRUE(dlg.Core().IsOpen());
    // Cancelled: nothing written, playing again.
    dlg.fillSaveDialog = [](CSaveFileDlg&) { return false; };
    PickMenu(dlg, reader::BoxIndex(1, 1), kMenuArchive);
    EXPECT_EQ(dlg.Core().State(), reader::PlayState::Running);
    dlg.close();
    EXPECT_EQ(readertest::Sha256Of(arv), before);
}

// "Select Archiving Encoder": the compressors that work with the sample clip, the default one
// selected with its information; with "next time" ticked the choice is used again without asking.
TEST(ReaderWindow, EncoderSelectionBeforeAnArchive) {
    App();
    Scratch scratch;
    Boxes boxes;
    sim_tav::RecorderOptions o = readertest::TavOptions(2);
    o.streamPackets = 120;
    const std::string arv = scratch.File("clip.arv");
    sim_tav::WriteTavStream(arv, o);
    CPlayerDlg dlg;
    int code = -1;
    ASSERT_TRUE(dlg.Initialise(&code));
    dlg.show();
    ASSERT_TRUE(dlg.OpenPath(arv));
    std::string avi;
    dlg.fillSaveDialog = [&](CSaveFileDlg& save) {
        Find<QCheckBox>(save, kSaveChooseEncoder)->setChecked(true);
        Find<QLineEdit>(save, kSavePath)->setText(QString::fromStdString(avi));
        return true;
    };
    int shown = 0;
    dlg.fillEncoderDialog = [&](CCompressorEnumDlg& encoders) {
        ++shown;
        encoders.show();
        encoders.Discover();
        auto* list = Find<QListWidget>(encoders, kEncoderList);
        EXPECT_EQ(encoders.windowTitle().toStdString(), "Archiving Encoder Selection");
        EXPECT_EQ(list->currentItem() ? list->currentItem()->text().toStdString() : "", "MJPEG Compressor");
        const std::string info = Find<QPlainTextEdit>(encoders, kEncoderInfo)->toPlainText().toStdString();
        EXPECT_NE(info.find("MJPG, 47504a4dH"), std::string::npos) << info;
        EXPECT_FALSE(Find<QPushButton>(encoders, kEncoderConfigure)->isEnabled());
        if (const char* dir = std::getenv("SCRYDE_SCREENSHOTS"))
            encoders.grab().save(QString(dir) + "/encoder-selection.png");
        Find<QCheckBox>(encoders, kEncoderUseNextTime)->setChecked(true);
        encoders.accept();
        return encoders.result();
    };
    avi = scratch.File("first.avi");
    PickMenu(dlg, reader::BoxIndex(1, 1), kMenuArchive);
    avi = scratch.File("second.avi");
    PickMenu(dlg, reader::BoxIndex(1, 1), kMenuArchive);
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(boxes.Seen().empty()) << boxes.Seen()[0].text;
    for (const char* name : {"first.avi", "second.avi"})
        EXPECT_EQ(Output("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 " +
                         scratch.File(name)),
                  "mjpeg\n")
            << name;
    EXPECT_EQ(dlg.Core().EncoderChoice().lastChosen, "MJPEG Compressor");
    dlg.close();
}

// Runs ScrydeReader with `args` in the scratch environment; its standard error in *err.
int RunReader(const std::string& args, const std::string& env, std::string* err) {
    const std::string cmd = "QT_QPA_PLATFORM=offscreen " + env + " " READER_EXE " " + args + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        *err += buf;
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReaderProgram, ScreenshotHelpAndNoAudioDevice) {
    Scratch scratch;
    sim_tav::RecorderOptions o = readertest::TavOptions(2);
    o.streamPackets = 120;
    const std::string arv = scratch.File("clip.arv");
    sim_tav::WriteTavStream(arv, o);
    std::string out;
    EXPECT_EQ(RunReader("--help", "", &out), 0);
    EXPECT_NE(out.find("--screenshot FILE"), std::string::npos);
    out.clear();
    EXPECT_EQ(RunReader("--bogus", "", &out), 2);
    out.clear();
    const std::string shot = scratch.File("shot.png");
    EXPECT_EQ(
        RunReader("--open " + arv + " --screenshot " + shot + " --after 1", "SDL_AUDIODRIVER=dummy", &out), 0)
        << out;
    std::ifstream png(shot, std::ios::binary);
    char magic[8] = {};
    png.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    // Without an audio device the reader says so and ends with code 3.
    out.clear();
    EXPECT_EQ(RunReader("--screenshot " + shot, "SDL_AUDIODRIVER=no_such_driver", &out), 3);
    EXPECT_NE(out.find("Error: No audio device!"), std::string::npos) << out;
}

} // namespace
} // namespace player
