#include "video_surface.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QThread>
#include <cstring>

namespace player {

namespace {

// Runs `work` on the user-interface thread: at once when already there, else queued.
void OnGuiThread(std::function<void()> work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    if (QThread::currentThread() == app->thread())
        work();
    else
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

class CQtVideoBackend final : public media::IVideoWindowBackend {
public:
    CQtVideoBackend() : m_state(std::make_shared<SurfaceState>()) {
        std::weak_ptr<SurfaceState> weak = m_state;
        OnGuiThread([weak] {
            if (auto state = weak.lock())
                state->surface = new CVideoSurface(state);
        });
    }
    ~CQtVideoBackend() override {
        // The renderer goes away on the user-interface thread once streaming has stopped; a surface
        // whose box went first is already gone.
        std::shared_ptr<SurfaceState> state = m_state;
        OnGuiThread([state] {
            if (state->surface)
                delete state->surface.data();
        });
    }

    void Present(const media::VideoFrame& frame) override {
        if (frame.width <= 0 || frame.height <= 0)
            return;
        {
            std::lock_guard lock(m_state->mutex);
            QImage& p = m_state->picture;
            if (p.width() != frame.width || p.height() != frame.height)
                p = QImage(frame.width, frame.height, QImage::Format_RGB32);
            const std::size_t row = std::size_t(frame.width) * 4;
            for (LONG y = 0; y < frame.height; ++y)
                std::memcpy(p.scanLine(y), frame.pixels.data() + row * std::size_t(y), row);
            // One repaint waits in the queue at a time; it shows the newest picture.
            if (m_state->repaintQueued)
                return;
            m_state->repaintQueued = true;
        }
        std::weak_ptr<SurfaceState> weak = m_state;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak] {
                auto state = weak.lock();
                if (!state)
                    return;
                {
                    std::lock_guard lock(state->mutex);
                    state->repaintQueued = false;
                }
                if (state->surface)
                    state->surface->update();
            },
            Qt::QueuedConnection);
    }
    void SetOwner(OAHWND owner) override {
        Apply([owner](CVideoSurface* s) {
            s->setParent(reinterpret_cast<QWidget*>(owner));
            s->setVisible(owner && s->property("wantVisible").toBool());
        });
    }
    void SetWindowStyle(LONG) override {}
    void SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override {
        Apply([=](CVideoSurface* s) { s->setGeometry(left, top, width, height); });
    }
    void SetVisible(bool visible) override {
        Apply([visible](CVideoSurface* s) {
            s->setProperty("wantVisible", visible);
            s->setVisible(visible && s->parentWidget());
            if (visible)
                s->raise();
        });
    }
    void SetCaption(const std::string&) override {}

private:
    void Apply(std::function<void(CVideoSurface*)> change) {
        std::weak_ptr<SurfaceState> weak = m_state;
        OnGuiThread([weak, change = std::move(change)] {
            if (auto state = weak.lock(); state && state->surface)
                change(state->surface);
        });
    }

    std::shared_ptr<SurfaceState> m_state;
};

} // namespace

CVideoSurface::CVideoSurface(std::shared_ptr<SurfaceState> state) : m_state(std::move(state)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setObjectName("videoSurface");
    hide();
}

QImage CVideoSurface::Picture() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->picture.copy();
}

namespace {
std::atomic<long> g_paints{0};
}

long CVideoSurface::PaintCount() {
    return g_paints.load();
}

void CVideoSurface::paintEvent(QPaintEvent*) {
    g_paints.fetch_add(1, std::memory_order_relaxed);
    QPainter painter(this);
    std::lock_guard lock(m_state->mutex);
    if (m_state->picture.isNull())
        painter.fillRect(rect(), Qt::black);
    else
        painter.drawImage(rect(), m_state->picture);
}

CVideoBox::CVideoBox(int index, QWidget* parent) : QWidget(parent), m_index(index) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CVideoSurface* CVideoBox::Surface() const {
    return findChild<CVideoSurface*>(QString(), Qt::FindDirectChildrenOnly);
}

void CVideoBox::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton && onContextMenu)
        onContextMenu(m_index, event->globalPosition().toPoint());
}

void CVideoBox::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && onDoubleClick)
        onDoubleClick(m_index);
}

void CVideoBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(16, 16, 16));
    painter.setPen(QColor(70, 70, 70));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void InstallVideoBackend() {
    media::SetVideoWindowBackendFactory([] { return std::make_unique<CQtVideoBackend>(); });
}

} // namespace player
