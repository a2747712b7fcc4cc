#include "player_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTabBar>
#include <QThread>

#include "encoder_dlg.h"
#include "platform/system.h"
#include "player_controls.h"
#include "reader/format.h"
#include "save_file_dlg.h"
#include "snapshot_print.h"

namespace player {

namespace {

// Dialog units to pixels: one fixed scale (the template's 576 × 291 units give 864 × 509 pixels).
constexpr double kUnitX = 1.5, kUnitY = 1.75;
constexpr int kDialogWidth = static_cast<int>(576 * kUnitX);
constexpr int kDialogHeight = static_cast<int>(291 * kUnitY);

QString Id(int id) {
    return QString::number(id);
}

// Changes made by code never reach the handlers meant for the user.
template <class W, class F> void Quietly(W* w, F&& change) {
    const bool old = w->blockSignals(true);
    change();
    w->blockSignals(old);
}

// The open dialog's filter in Qt's form, from the "description|pattern|" pairs.
QString QtFileFilter() {
    const QStringList parts = QString::fromLatin1(reader::kOpenFileFilter).split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i].trimmed() + " (" + parts[i + 1].trimmed() + ")";
    return filters.join(";;");
}

} // namespace

void CDriveCombo::showPopup() {
    if (beforeDropDown)
        beforeDropDown();
    QComboBox::showPopup();
}

CPlayerDlg::CPlayerDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Veltrix Scryde");
    setObjectName("102");
    QFont font("Arial");
    font.setPointSizeF(8);
    setFont(font);
    setFixedSize(kDialogWidth, kDialogHeight);
    BuildControls();
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, [this] { OnTick(); });
}

CPlayerDlg::~CPlayerDlg() {
    m_timer.stop();
    m_core.Close();
}

QPushButton* CPlayerDlg::Button(int id, const QString& text, QRect r) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(Id(id));
    b->setGeometry(r);
    b->setAutoDefault(false);
    return b;
}

void CPlayerDlg::BuildControls() {
    // The video area and its 30 boxes; one layout's boxes are shown at a time.
    m_videoArea = new QWidget(this);
    m_videoArea->setObjectName(Id(kVideoArea));
    m_videoArea->setGeometry(6, 4, static_cast<int>(471 * kUnitX), static_cast<int>(273 * kUnitY));
    m_videoArea->setAutoFillBackground(true);
    QPalette pal = m_videoArea->palette();
    pal.setColor(QPalette::Window, Qt::black);
    m_videoArea->setPalette(pal);
    for (int mode = 0; mode < reader::kLayouts; ++mode)
        for (int k = 0; k < reader::BoxesInLayout(mode); ++k) {
            const int index = reader::BoxIndex(mode, k);
            const reader::BoxGeometry g = reader::LayoutBox(mode, k);
            auto* box = new CVideoBox(index, m_videoArea);
            box->setObjectName(Id(kFirstVideoBox + index));
            box->setGeometry(g.x, g.y, g.width, g.height);
            box->onContextMenu = [this](int b, QPoint at) { ShowContextMenu(b, at); };
            box->onDoubleClick = [this](int b) {
                m_core.ShowSingle(b);
                Refresh();
            };
            box->setVisible(mode == 1);
            m_boxes[index] = box;
            m_core.SetBoxWindow(index, reinterpret_cast<OAHWND>(static_cast<QWidget*>(box)));
        }

    // Side panel.
    const int x = 718, w = kDialogWidth - x - 6;
    m_driveList = new CDriveCombo(this);
    m_driveList->setObjectName(Id(kDriveList));
    m_driveList->setGeometry(x, 6, w, 24);
    m_driveList->beforeDropDown = [this] { RefreshDrives(); };
    QPushButton* open = Button(kOpen, "Open", {x, 34, w, 26});
    open->setDefault(true);
    connect(open, &QPushButton::clicked, this, [this] { OnOpen(); });
    m_gauge = new QProgressBar(this);
    m_gauge->setObjectName(Id(kDiskGauge));
    m_gauge->setGeometry(x, 64, w, 14);
    m_gauge->setRange(0, 100);
    m_gauge->setTextVisible(false);

    m_tabs = new QTabBar(this);
    m_tabs->setObjectName(Id(kTabs));
    m_tabs->setGeometry(x, 84, w, 24);
    m_tabs->setExpanding(true);
    m_tabs->setUsesScrollButtons(false);
    m_tabs->setStyleSheet("QTabBar::tab { padding: 3px 4px; }");
    m_tabs->addTab("Segment");
    m_tabs->addTab("Alarm");
    m_tabs->addTab("Time");
    connect(m_tabs, &QTabBar::currentChanged, this, [this](int tab) { OnTab(tab); });
    m_segments = new QListWidget(this);
    m_segments->setObjectName(Id(kSegmentList));
    m_segments->setGeometry(x, 108, w, 150);
    connect(m_segments, &QListWidget::currentRowChanged, this, [this](int row) { OnSegmentRow(row); });
    m_alarms = new QListWidget(this);
    m_alarms->setObjectName(Id(kAlarmList));
    m_alarms->setGeometry(x, 108, w, 150);
    connect(m_alarms, &QListWidget::currentRowChanged, this, [this](int row) { OnAlarmRow(row); });
    // The time search: year, month and day, then hour : minute : second, then Set.
    const int fieldIds[6] = {kYear, kMonth, kDay, kHour, kMinute, kSecond};
    const int fw = (w - 12) / 3;
    for (int i = 0; i < 6; ++i) {
        auto* e = new QLineEdit(this);
        e->setObjectName(Id(fieldIds[i]));
        e->setGeometry(x + (i % 3) * (fw + 6), 116 + (i / 3) * 34, fw, 24);
        e->setAlignment(Qt::AlignCenter);
        e->setMaxLength(i == 0 ? 4 : 2);
        m_fields[i] = e;
        m_timeControls.push_back(e);
    }
    for (int i = 0; i < 2; ++i) {
        auto* colon = new QLabel(":", this);
        colon->setObjectName(Id(i ? kColon2 : kColon1));
        colon->setGeometry(x + (i + 1) * (fw + 6) - 5, 150, 5, 24);
        m_timeControls.push_back(colon);
    }
    QPushButton* set = Button(kSet, "Set", {x + w / 4, 188, w / 2, 26});
    connect(set, &QPushButton::clicked, this, [this] { OnSet(); });
    m_timeControls.push_back(set);

    auto* modelGroup = new QGroupBox("DVR Model", this);
    modelGroup->setObjectName(Id(kModelGroup));
    modelGroup->setGeometry(x, 262, w, 52);
    m_model = new QComboBox(this);
    m_model->setObjectName(Id(kModelList));
    m_model->setGeometry(x + 6, 284, w - 12, 24);
    for (int i = 0; i < reader::kModelEntries; ++i)
        m_model->addItem(reader::ModelName(i));
    connect(m_model, &QComboBox::currentIndexChanged, this, [this](int row) { OnModel(row); });

    auto* archiveGroup = new QGroupBox("Archive Time", this);
    archiveGroup->setObjectName(Id(kArchiveGroup));
    archiveGroup->setGeometry(x, 318, w, 82);
    QPushButton* in = Button(kMarkIn, "in", {x + 4, 340, 26, 24});
    QPushButton* out = Button(kMarkOut, "out", {x + 4, 370, 26, 24});
    QFont small = font();
    small.setPointSizeF(7);
    m_markIn = new QLineEdit(this);
    m_markIn->setObjectName(Id(kMarkInText));
    m_markIn->setGeometry(x + 32, 340, w - 34, 24);
    m_markIn->setReadOnly(true);
    m_markIn->setFont(small);
    m_markOut = new QLineEdit(this);
    m_markOut->setObjectName(Id(kMarkOutText));
    m_markOut->setGeometry(x + 32, 370, w - 34, 24);
    m_markOut->setReadOnly(true);
    m_markOut->setFont(small);
    connect(in, &QPushButton::clicked, this, [this] {
        m_core.MarkIn();
        Refresh();
    });
    connect(out, &QPushButton::clicked, this, [this] {
        m_core.MarkOut();
        Refresh();
    });

    // Speed cluster.
    QStyle* st = style();
    QPushButton* up = Button(kSpeedUp, "", {x, 408, 34, 26});
    up->setIcon(st->standardIcon(QStyle::SP_ArrowUp));
    QPushButton* down = Button(kSpeedDown, "", {x, 438, 34, 26});
    down->setIcon(st->standardIcon(QStyle::SP_ArrowDown));
    m_speed = new QLineEdit(this);
    m_speed->setObjectName(Id(kSpeedLabel));
    m_speed->setGeometry(x + 38, 422, 46, 26);
    m_speed->setReadOnly(true);
    m_speed->setAlignment(Qt::AlignCenter);
    m_fw = Button(kForward, "", {x + 88, 408, w - 88, 26});
    m_fw->setIcon(st->standardIcon(QStyle::SP_MediaSeekForward));
    m_fw->setCheckable(true);
    m_bw = Button(kBackward, "", {x + 88, 438, w - 88, 26});
    m_bw->setIcon(st->standardIcon(QStyle::SP_MediaSeekBackward));
    m_bw->setCheckable(true);
    connect(up, &QPushButton::clicked, this, [this] {
        m_core.SpeedUp();
        Refresh();
    });
    connect(down, &QPushButton::clicked, this, [this] {
        m_core.SpeedDown();
        Refresh();
    });
    connect(m_fw, &QPushButton::clicked, this, [this] {
        m_core.Forward();
        Refresh();
    });
    connect(m_bw, &QPushButton::clicked, this, [this] {
        m_core.Backward();
        Refresh();
    });
    QPushButton* format = Button(kFormat, "Format HD", {x, 472, w, 26});
    connect(format, &QPushButton::clicked, this, [this] { OnFormat(); });

    // Bottom bar: time, slider, transport.
    const int y = kDialogHeight - 26;
    m_time = new QLineEdit(this);
    m_time->setObjectName(Id(kTime));
    m_time->setGeometry(6, y, 150, 22);
    m_time->setReadOnly(true);
    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setObjectName(Id(kSlider));
    m_slider->setGeometry(162, y, 360, 22);
    m_slider->setRange(0, 1000);
    m_slider->setPageStep(100);
    connect(m_slider, &QSlider::actionTriggered, this, [this](int action) { OnSliderAction(action); });
    struct Transport {
        int id;
        QStyle::StandardPixmap icon;
    } transport[] = {{kBegin, QStyle::SP_MediaSkipBackward},
                     {kStepBack, QStyle::SP_ArrowLeft},
                     {kPlay, QStyle::SP_MediaPlay},
                     {kStepForward, QStyle::SP_ArrowRight},
                     {kEnd, QStyle::SP_MediaSkipForward}};
    int bx = 526;
    for (const Transport& t : transport) {
        QPushButton* b = Button(t.id, "", {bx, y - 2, 36, 26});
        b->setIcon(st->standardIcon(t.icon));
        bx += 38;
        if (t.id == kPlay)
            m_play = b;
    }
    m_play->setProperty("bitmap", "play");
    connect(m_play, &QPushButton::clicked, this, [this] {
        m_core.PlayPause();
        Refresh();
    });
    connect(findChild<QPushButton*>(Id(kBegin)), &QPushButton::clicked, this, [this] {
        m_core.Begin();
        Refresh();
    });
    connect(findChild<QPushButton*>(Id(kEnd)), &QPushButton::clicked, this, [this] {
        m_core.End();
        Refresh();
    });
    connect(findChild<QPushButton*>(Id(kStepForward)), &QPushButton::clicked, this, [this] {
        m_core.StepForward();
        Refresh();
    });
    connect(findChild<QPushButton*>(Id(kStepBack)), &QPushButton::clicked, this, [this] {
        m_core.StepBackward();
        Refresh();
    });
    ShowTabPanel(-1);
}

bool CPlayerDlg::Initialise(int* code) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    m_windowsMajor = GetVersionExA(&v) ? v.dwMajorVersion : 0;
    if (!reader::CPlayerCore::HasAudioDevice()) {
        MessageBoxA(nullptr, "No audio device!\nThis program cannot run on PC without audio device.", "Error",
                    MB_OK | MB_ICONERROR);
        *code = 3;
        return false;
    }
    Quietly(m_driveList, [&] {
        m_driveList->clear();
        m_driveList->addItem("Local File...");
        m_driveList->setCurrentIndex(0);
    });
    *code = 0;
    Refresh();
    return true;
}

void CPlayerDlg::RefreshDrives() {
    Quietly(m_driveList, [&] {
        m_driveList->clear();
        m_driveList->addItem("Searching...");
        m_driveList->setCurrentIndex(0);
        m_driveList->addItem("Local File...");
    });
    m_drives.clear();
    if (!reader::DriveScanAllowed(m_windowsMajor)) {
        MessageBoxA(nullptr,
                    "Veltrix Scryde application requires a Windows 2000, XP, or Vista operating system.",
                    "Error", MB_OK);
    } else {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_drives = reader::ScanDrives(m_core.Settings().hdd, m_windowsMajor);
        QApplication::restoreOverrideCursor();
        if (m_drives.empty())
            MessageBoxA(nullptr,
                        "The hard drive cannot be recognized as a valid video drive. Try open another one.",
                        "Error", MB_OK);
    }
    Quietly(m_driveList, [&] {
        for (const reader::DriveEntry& d : m_drives)
            m_driveList->addItem(QString::fromStdString(d.row));
        m_driveList->removeItem(0);
        m_driveList->setCurrentIndex(m_drives.empty() ? 0 : 1);
    });
}

void CPlayerDlg::OnOpen() {
    const int row = m_driveList->currentIndex();
    if (row < 0 || (row != 0 && row == m_openRow))
        return;
    m_openRow = row;
    reader::OpenTarget target;
    if (row >= 1 && row - 1 < static_cast<int>(m_drives.size())) {
        const reader::DriveEntry& d = m_drives[static_cast<std::size_t>(row - 1)];
        target.kind = d.kind;
        target.drive = d.drive;
        target.path = d.path;
        target.gigabytes = d.gigabytes;
    } else {
        const std::string path =
            chooseFile ? chooseFile()
                       : QFileDialog::getOpenFileName(this, "Open", QString(), QtFileFilter()).toStdString();
        if (path.empty())
            return;
        target = reader::FileTarget(path);
    }
    RunOpen(target);
}

bool CPlayerDlg::OpenPath(const std::string& path) {
    m_openRow = 0;
    return RunOpen(reader::FileTarget(path));
}

bool CPlayerDlg::OpenDrive(int drive) {
    RefreshDrives();
    for (std::size_t i = 0; i < m_drives.size(); ++i)
        if (m_drives[i].drive == drive) {
            Quietly(m_driveList, [&] { m_driveList->setCurrentIndex(static_cast<int>(i) + 1); });
            m_openRow = -1;
            OnOpen();
            return m_core.IsOpen();
        }
    return false;
}

bool CPlayerDlg::RunOpen(const reader::OpenTarget& target) {
    m_timer.stop();
    const bool begun = m_core.BeginOpen(target);
    Refresh();
    if (!begun)
        return false;
    // The disk-open worker with its progress: the window stays alive, the owner disabled.
    m_core.StartOpenWorker();
    QProgressDialog progress("Collecting the disk information. It may take a while.\nPlease wait.", QString(),
                             0, 1000, this);
    progress.setObjectName(Id(kProgressDialog));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setCancelButton(nullptr);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    progress.show();
    while (m_core.OpenWorkerRunning()) {
        progress.setValue(static_cast<int>(m_core.OpenProgress()));
        QEventLoop wait;
        QTimer::singleShot(300, &wait, &QEventLoop::quit);
        wait.exec();
    }
    QApplication::restoreOverrideCursor();
    progress.hide();
    const bool opened = m_core.CompleteOpen(m_core.FinishOpenWorker());
    FillLists();
    Refresh();
    if (opened)
        m_timer.start();
    return opened;
}

void CPlayerDlg::FillLists() {
    Quietly(m_segments, [&] {
        m_segments->clear();
        for (const std::string& r : m_core.SegmentRows())
            m_segments->addItem(QString::fromStdString(r));
    });
    Quietly(m_alarms, [&] {
        m_alarms->clear();
        for (const std::string& r : m_core.AlarmRows())
            m_alarms->addItem(QString::fromStdString(r));
    });
    Quietly(m_tabs, [&] { m_tabs->setCurrentIndex(0); });
}

void CPlayerDlg::ShowTabPanel(int tab) {
    const bool open = m_core.IsOpen();
    m_segments->setVisible(open && tab == 0);
    m_alarms->setVisible(open && tab == 1);
    for (QWidget* w : m_timeControls)
        w->setVisible(open && tab == 2);
}

void CPlayerDlg::Refresh() {
    const bool open = m_core.IsOpen();
    ShowTabPanel(open ? m_core.Tab() : -1);
    m_gauge->setValue(m_core.DiskGauge());
    const bool pause = m_core.PlayShowsPause();
    m_play->setIcon(style()->standardIcon(pause ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
    m_play->setProperty("bitmap", pause ? "pause" : "play");
    m_fw->setChecked(m_core.FwPressed());
    m_bw->setChecked(m_core.BwPressed());
    m_speed->setText(open ? m_core.SpeedLabel() : "");
    m_markIn->setText(QString::fromStdString(m_core.MarkInText()));
    m_markIn->setCursorPosition(0);
    m_markOut->setText(QString::fromStdString(m_core.MarkOutText()));
    m_markOut->setCursorPosition(0);
    if (open) {
        Quietly(m_model, [&] { m_model->setCurrentIndex(m_core.ModelRow()); });
        m_model->setEnabled(m_core.ModelListEnabled());
    }
    if (auto row = m_core.SegmentRowToSelect();
        row && *row < m_segments->count() && m_segments->currentRow() != *row)
        Quietly(m_segments, [&] { m_segments->setCurrentRow(*row); });
    if (!open)
        m_time->clear();
    else if (!m_core.TimeText().empty())
        m_time->setText(QString::fromStdString(m_core.TimeText()));
    // The boxes of the current layout, each on top of the others.
    const int mode = m_core.DisplayMode();
    for (CVideoBox* box : m_boxes) {
        const reader::VideoBox& b = m_core.Boxes()[static_cast<std::size_t>(box->Index())];
        const bool shown = open ? b.shown : b.mode == mode;
        box->setVisible(shown);
        if (shown) {
            box->raise();
            box->setEnabled(true);
        }
    }
}

void CPlayerDlg::OnTick() {
    const reader::TickResult t = m_core.Tick();
    if (!t.ok)
        return;
    m_time->setText(QString::fromStdString(t.timeText));
    Quietly(m_slider, [&] { m_slider->setValue(static_cast<int>(t.slider)); });
    if (t.segmentRow && *t.segmentRow < m_segments->count())
        Quietly(m_segments, [&] { m_segments->setCurrentRow(*t.segmentRow); });
}

void CPlayerDlg::OnSliderAction(int action) {
    // Page left and right and the thumb being dragged; the position is already the new one.
    if (action != QAbstractSlider::SliderPageStepAdd && action != QAbstractSlider::SliderPageStepSub &&
        action != QAbstractSlider::SliderMove)
        return;
    m_core.SeekSlider(m_slider->sliderPosition());
    Refresh();
}

void CPlayerDlg::OnTab(int tab) {
    m_core.SelectTab(tab);
    if (tab == 1)
        Quietly(m_alarms, [&] {
            m_alarms->clear();
            for (const std::string& r : m_core.AlarmRows())
                m_alarms->addItem(QString::fromStdString(r));
            if (m_core.IsTav() && m_alarms->count() > 0)
                m_alarms->setCurrentRow(0);
        });
    if (tab == 2) {
        const reader::SearchFields f = m_core.TimeFields();
        const int values[6] = {f.year, f.month, f.day, f.hour, f.minute, f.second};
        for (int i = 0; i < 6; ++i)
            m_fields[i]->setText(QString::number(values[i]));
    }
    Refresh();
}

void CPlayerDlg::OnSet() {
    int v[6];
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        v[i] = m_fields[i]->text().trimmed().toInt(&ok);
        if (!ok)
            return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_core.SearchTime({v[0], v[1], v[2], v[3], v[4], v[5]});
    QApplication::restoreOverrideCursor();
    Refresh();
}

void CPlayerDlg::OnSegmentRow(int row) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_core.SelectSegmentRow(row);
    QApplication::restoreOverrideCursor();
    Refresh();
}

void CPlayerDlg::OnAlarmRow(int row) {
    m_core.SelectAlarmRow(row);
    Refresh();
}

void CPlayerDlg::OnModel(int row) {
    m_core.SetModelRow(row);
    Refresh();
}

void CPlayerDlg::OnKey(int key) {
    switch (key) {
    case Qt::Key_Space:
        if (m_core.IsOpen())
            m_core.SpaceKey();
        break;
    case Qt::Key_Left:
        m_core.Backward();
        break;
    case Qt::Key_Right:
        m_core.Forward();
        break;
    case Qt::Key_Up:
        m_core.SpeedUp();
        break;
    case Qt::Key_Down:
        m_core.SpeedDown();
        break;
    default:
        return;
    }
    Refresh();
}

void CPlayerDlg::ShowContextMenu(int box, QPoint global) {
    if (!m_core.IsOpen())
        return;
    const reader::MenuState s = m_core.Menu(box);
    QMenu menu(this);
    menu.setObjectName("106");
    auto item = [&](QMenu* m, const QString& text, int id, bool checked, bool enabled = true) {
        QAction* a = m->addAction(text);
        a->setObjectName(Id(id));
        a->setCheckable(true);
        a->setChecked(checked);
        a->setEnabled(enabled);
        connect(a, &QAction::triggered, this, [this, id, box] { OnMenuCommand(id, box); });
    };
    QMenu* channels = menu.addMenu("Set Channel");
    for (int c = 0; c < reader::kChannels; ++c)
        item(channels, QString::number(c + 1), kMenuSetChannel + c, s.channel == c);
    QMenu* modes = menu.addMenu("Display Mode");
    const char* modeNames[4] = {"1", "4", "9", "16"};
    for (int m = 0; m < 4; ++m)
        item(modes, modeNames[m], kMenuDisplayMode + m, s.displayMode == m);
    menu.addSeparator();
    QMenu* video = menu.addMenu("Video");
    video->setEnabled(s.videoEnabled);
    item(video, "NTSC", kMenuNtsc, s.videoStandard == 0);
    item(video, "PAL", kMenuPal, s.videoStandard == 1);
    QMenu* audio = menu.addMenu("Audio");
    const bool tav = m_core.IsTav();
    item(audio, "Off", kMenuAudioOff, tav ? s.audioChannel < 0 : !s.audioOn);
    item(audio, "On", kMenuAudioOn, !tav && s.audioOn);
    for (int k = 0; k < 4; ++k)
        item(audio, QString("Channel %1").arg(k + 1), kMenuAudioChannel + k, tav && s.audioChannel == k,
             s.channelsEnabled[k]);
    menu.addSeparator();
    item(&menu, "Archive...", kMenuArchive, false);
    item(&menu, "Save Image...", kMenuSaveImage, false);
    item(&menu, "Print Image...", kMenuPrintImage, false);
    if (menuShown) {
        menuShown(&menu);
        return;
    }
    menu.exec(global);
}

void CPlayerDlg::OnMenuCommand(int id, int box) {
    if (id >= kMenuSetChannel && id < kMenuSetChannel + reader::kChannels)
        m_core.SetChannel(box, id - kMenuSetChannel);
    else if (id >= kMenuDisplayMode && id < kMenuDisplayMode + reader::kLayouts)
        m_core.ApplyDisplayMode(id - kMenuDisplayMode);
    else if (id == kMenuNtsc || id == kMenuPal)
        m_core.SetVideoStandard(id == kMenuPal ? 1 : 0);
    else if (id == kMenuAudioOff || id == kMenuAudioOn)
        m_core.SetAudio(id == kMenuAudioOn);
    else if (id >= kMenuAudioChannel && id < kMenuAudioChannel + 4)
        m_core.SetAudioChannel(id - kMenuAudioChannel);
    else if (id == kMenuArchive)
        OnArchive(box);
    else if (id == kMenuSaveImage)
        SaveSnapshot(m_core, m_core.Boxes()[static_cast<std::size_t>(box)].channel,
                     chooseSaveName ? chooseSaveName : SaveDialogChooser(this));
    else if (id == kMenuPrintImage)
        PrintSnapshot(m_core, m_core.Boxes()[static_cast<std::size_t>(box)].channel,
                      choosePrinter ? choosePrinter : PrintDialogChooser(this));
    Refresh();
}

namespace {

// An archive run's progress in a progress dialog, with Cancel when the run can be cancelled.
class CArchiveProgress : public reader::IArchiveUi {
public:
    explicit CArchiveProgress(QWidget* owner) : m_dialog(QString(), "Cancel", 0, 100, owner) {
        m_dialog.setObjectName(QString::number(kProgressDialog));
        m_dialog.setWindowModality(Qt::WindowModal);
        m_dialog.setMinimumDuration(0);
        m_dialog.setAutoClose(false);
        m_dialog.setAutoReset(false);
    }
    void Begin(const std::string& text, int range, bool cancellable) override {
        m_dialog.setLabelText(QString::fromStdString(text));
        m_dialog.setRange(0, range);
        m_dialog.setValue(0);
        if (!cancellable)
            m_dialog.setCancelButton(nullptr);
        m_dialog.show();
    }
    void SetPosition(int position) override { m_dialog.setValue(position); }
    bool Cancelled() override { return m_dialog.wasCanceled(); }
    void Pump() override { QApplication::processEvents(); }
    void End() override { m_dialog.hide(); }

private:
    QProgressDialog m_dialog;
};

} // namespace

void CPlayerDlg::OnArchive(int box) {
    if (!m_core.IsOpen() || box < 0 || box >= reader::kBoxCount || !m_core.ArchiveMarksValid())
        return;
    const int channel = m_core.Boxes()[static_cast<std::size_t>(box)].channel;
    m_timer.stop();
    m_core.Stop();
    CSaveFileDlg save(m_core.IsTav(), "", this);
    const bool accepted = fillSaveDialog ? fillSaveDialog(save) : save.exec() == QDialog::Accepted;
    reader::ArchiveOptions options = save.Options();
    bool go = accepted && !save.Path().empty();
    if (go && options.chooseEncoder && options.fileType == 1 && !m_core.EncoderChoice().useWithoutAsking) {
        CCompressorEnumDlg encoders(m_core.EncoderChoice(), this);
        const int result = fillEncoderDialog ? fillEncoderDialog(encoders) : encoders.exec();
        go = result != QDialog::Rejected;
    }
    if (!go) {
        m_core.PlayPause();
    } else {
        if (options.fileType == 1)
            options.encoder = m_core.EncoderChoice().TakeForArchive();
        CArchiveProgress progress(this);
        m_core.Archive(channel, save.Path(), options, progress);
    }
    if (m_core.IsOpen())
        m_timer.start();
    Refresh();
}

void CPlayerDlg::OnFormat() {
    const int row = m_driveList->currentIndex();
    const reader::DriveEntry* drive = row >= 1 && row - 1 < static_cast<int>(m_drives.size())
                                          ? &m_drives[static_cast<std::size_t>(row - 1)]
                                          : nullptr;
    const bool wasOpen = m_core.IsOpen();
    reader::FormatSelectedDrive(drive, m_core);
    if (wasOpen && !m_core.IsOpen()) {
        m_timer.stop();
        m_openRow = -1;
        FillLists();
    }
    Refresh();
}

void CPlayerDlg::closeEvent(QCloseEvent* event) {
    m_timer.stop();
    m_core.Close();
    QDialog::closeEvent(event);
}

} // namespace player
