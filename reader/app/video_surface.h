// Pictures of the video renderers drawn in the reader's boxes: a video-window backend whose window is
// a widget made a child of the box its owner names, and the box widget itself.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "media/videowindow.h"

namespace player {

class CVideoSurface;

// What the streaming thread and the window share: the last picture, under its lock.
struct SurfaceState {
    std::mutex mutex;
    QImage picture;
    bool repaintQueued = false;
    QPointer<CVideoSurface> surface; // touched on the user-interface thread only
};

// The renderer's window: draws the last picture scaled to its own rectangle. Mouse events pass
// through to the box below.
class CVideoSurface : public QWidget {
    Q_OBJECT
public:
    explicit CVideoSurface(std::shared_ptr<SurfaceState> state);
    // A copy of the last picture shown (null before the first).
    QImage Picture() const;
    // Pictures painted by all surfaces since the program started.
    static long PaintCount();

protected:
    void paintEvent(QPaintEvent*) override;

private:
    std::shared_ptr<SurfaceState> m_state;
};

// A video box of the main window: its channel's surface is made its child; right-clicks and double
// clicks go to the handlers the window installs.
class CVideoBox : public QWidget {
    Q_OBJECT
public:
    CVideoBox(int index, QWidget* parent);
    int Index() const { return m_index; }
    // The surface shown in this box, if any.
    CVideoSurface* Surface() const;
    std::function<void(int box, QPoint global)> onContextMenu;
    std::function<void(int box)> onDoubleClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent*) override;

private:
    int m_index;
};

// Installs the backend factory; call once, before any video renderer is created.
void InstallVideoBackend();

} // namespace player
