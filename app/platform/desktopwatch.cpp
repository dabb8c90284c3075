#include "desktopwatch.h"

#include "x11.h"

#include <QAbstractEventDispatcher>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr std::chrono::milliseconds pointerPollInterval{40};

} // namespace

DesktopWatch::DesktopWatch(QObject *parent)
    : QObject(parent)
{
    m_pointerPoll.setInterval(pointerPollInterval);
    connect(&m_pointerPoll, &QTimer::timeout, this, &DesktopWatch::pollPointer);

    xcb_connection_t *connection = X11::connection();
    if (!connection)
        return;
    const xcb_query_extension_reply_t *xfixes = xcb_get_extension_data(connection, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present)
        return;
    // XFixes answers nothing to a client that has not said which version it speaks.
    std::free(xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 2, 0), nullptr));
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen)
        return;
    m_connection = connection;
    m_root = screen->root;
    m_xfixesFirstEvent = xfixes->first_event;
    m_xdndSelection = X11::atom(connection, "XdndSelection");
    m_trayManagerSelection = X11::atom(connection, "_NET_SYSTEM_TRAY_S0");
    m_typeList = X11::atom(connection, "XdndTypeList");
    m_uriList = X11::atom(connection, "text/uri-list");
    const quint32 everyChange = XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER
        | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE;
    for (const xcb_atom_t selection : {m_xdndSelection, m_trayManagerSelection})
        xcb_xfixes_select_selection_input(connection, m_root, selection, everyChange);
    xcb_flush(connection);
    QAbstractEventDispatcher::instance()->installNativeEventFilter(this);
}

DesktopWatch::~DesktopWatch()
{
    if (m_connection && QAbstractEventDispatcher::instance())
        QAbstractEventDispatcher::instance()->removeNativeEventFilter(this);
}

bool DesktopWatch::pointerButtonDown() const
{
    if (!m_connection)
        return false;
    auto *connection = static_cast<xcb_connection_t *>(m_connection);
    xcb_query_pointer_reply_t *reply = xcb_query_pointer_reply(connection, xcb_query_pointer(connection, m_root), nullptr);
    const quint16 buttons = XCB_KEY_BUT_MASK_BUTTON_1 | XCB_KEY_BUT_MASK_BUTTON_2 | XCB_KEY_BUT_MASK_BUTTON_3;
    const bool down = reply && (reply->mask & buttons);
    std::free(reply);
    return down;
}

bool DesktopWatch::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != m_xfixesFirstEvent + XCB_XFIXES_SELECTION_NOTIFY)
        return false;
    const auto *notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t *>(event);
    if (notify->window != m_root)
        return false; // Qt's own clipboard watch
    if (notify->selection == m_trayManagerSelection) {
        Q_EMIT trayManagerChanged();
        return true;
    }
    if (notify->selection != m_xdndSelection)
        return false;
    // A drag source takes XdndSelection as its drag starts (again for every drag); it may keep it
    // afterwards, so the drag's end is read from the pointer: every button up again.
    if (notify->subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER && notify->owner != XCB_WINDOW_NONE) {
        if (!m_dragging && !m_pointerPoll.isActive()) {
            m_source = notify->owner;
            m_pointerPoll.start(); // its first round tells whether the drag may carry files
        }
    } else {
        endDrag();
    }
    return true;
}

bool DesktopWatch::mayCarryFiles() const
{
    // A source with more than three types lists them in XdndTypeList on its window (read one poll
    // after the drag began, once the source has set it); with three or fewer they travel only
    // in the messages to the window under the pointer, so such a drag may carry files.
    auto *connection = static_cast<xcb_connection_t *>(m_connection);
    xcb_get_property_reply_t *reply
        = xcb_get_property_reply(connection, xcb_get_property(connection, 0, m_source, m_typeList, XCB_ATOM_ATOM, 0, 256), nullptr);
    bool files = true;
    if (reply && reply->type == XCB_ATOM_ATOM && reply->format == 32 && reply->value_len > 0) {
        const auto *types = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply));
        files = std::find(types, types + reply->value_len, m_uriList) != types + reply->value_len;
    }
    std::free(reply);
    return files;
}

void DesktopWatch::pollPointer()
{
    if (!pointerButtonDown()) {
        endDrag();
        return;
    }
    if (!m_dragging && !m_ignoredDrag) {
        if (mayCarryFiles()) {
            m_dragging = true;
            Q_EMIT dragStarted();
        } else {
            m_ignoredDrag = true;
        }
    }
}

void DesktopWatch::endDrag()
{
    m_pointerPoll.stop();
    m_ignoredDrag = false;
    if (!m_dragging)
        return;
    m_dragging = false;
    Q_EMIT dragEnded();
}
