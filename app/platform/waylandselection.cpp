#include "waylandselection.h"

#include "ext-data-control-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace WaylandSelection {
namespace {

// The two protocols are the same on the wire (same requests and events in the same order); only
// the interface names differ, so one piece of code drives either through the generic proxy calls.
struct Protocol {
    const wl_interface *manager;
    const wl_interface *device;
    const wl_interface *source;
};
const Protocol extProtocol{&ext_data_control_manager_v1_interface, &ext_data_control_device_v1_interface,
                           &ext_data_control_source_v1_interface};
const Protocol wlrProtocol{&zwlr_data_control_manager_v1_interface, &zwlr_data_control_device_v1_interface,
                           &zwlr_data_control_source_v1_interface};

// Opcodes, shared by both protocols.
enum : uint32_t { managerCreateDataSource = 0, managerGetDataDevice = 1, managerDestroy = 2 };
enum : uint32_t { deviceSetSelection = 0, deviceDestroy = 1 };
enum : uint32_t { sourceOffer = 0, sourceDestroy = 1 };
enum : uint32_t { offerDestroy = 1 };

// What a text is offered as: the types browsers, toolkits and X11 programs (through Xwayland) ask for.
const char *const textTypes[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "STRING", "TEXT"};

struct Session {
    wl_display *display = nullptr;
    wl_seat *seat = nullptr;
    wl_proxy *manager = nullptr;
    const Protocol *protocol = nullptr;
    wl_proxy *device = nullptr;
    wl_proxy *source = nullptr;
    QByteArray text;
    bool lost = false;

    ~Session()
    {
        if (source)
            wl_proxy_marshal_flags(source, sourceDestroy, nullptr, wl_proxy_get_version(source), WL_MARSHAL_FLAG_DESTROY);
        if (device)
            wl_proxy_marshal_flags(device, deviceDestroy, nullptr, wl_proxy_get_version(device), WL_MARSHAL_FLAG_DESTROY);
        if (manager)
            wl_proxy_marshal_flags(manager, managerDestroy, nullptr, wl_proxy_get_version(manager), WL_MARSHAL_FLAG_DESTROY);
        if (seat)
            wl_seat_destroy(seat);
        if (display)
            wl_display_disconnect(display);
    }
};

// What the display offers, by the name to bind it with (0: not offered).
struct Globals {
    uint32_t seat = 0;
    uint32_t ext = 0;
    uint32_t wlr = 0;
};

void global(void *data, wl_registry *, uint32_t name, const char *interface, uint32_t)
{
    auto *globals = static_cast<Globals *>(data);
    if (!globals->seat && std::strcmp(interface, wl_seat_interface.name) == 0)
        globals->seat = name;
    else if (std::strcmp(interface, extProtocol.manager->name) == 0)
        globals->ext = name;
    else if (std::strcmp(interface, wlrProtocol.manager->name) == 0)
        globals->wlr = name;
}

void globalRemove(void *, wl_registry *, uint32_t) {}

const wl_registry_listener registryListener{global, globalRemove};

// Every selection the compositor announces comes as a new offer object; Kavo reads none of them.
void dataOffer(void *, wl_proxy *, wl_proxy *) {}
void selection(void *, wl_proxy *, wl_proxy *offer)
{
    if (offer)
        wl_proxy_marshal_flags(offer, offerDestroy, nullptr, wl_proxy_get_version(offer), WL_MARSHAL_FLAG_DESTROY);
}
void finished(void *data, wl_proxy *)
{
    static_cast<Session *>(data)->lost = true;
}
struct DeviceListener {
    void (*dataOffer)(void *, wl_proxy *, wl_proxy *);
    void (*selection)(void *, wl_proxy *, wl_proxy *);
    void (*finished)(void *, wl_proxy *);
    void (*primarySelection)(void *, wl_proxy *, wl_proxy *);
};
const DeviceListener deviceListener{dataOffer, selection, finished, selection};

void send(void *data, wl_proxy *, const char *, int32_t fd)
{
    const QByteArray &text = static_cast<Session *>(data)->text;
    // The reader may go away before it has read everything (EPIPE): that is its business.
    for (qsizetype written = 0; written < text.size();) {
        const ssize_t n = ::write(fd, text.constData() + written, size_t(text.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    ::close(fd);
}
void cancelled(void *data, wl_proxy *)
{
    static_cast<Session *>(data)->lost = true;
}
struct SourceListener {
    void (*send)(void *, wl_proxy *, const char *, int32_t);
    void (*cancelled)(void *, wl_proxy *);
};
const SourceListener sourceListener{send, cancelled};

} // namespace

QString hold(const QByteArray &text, const std::function<void()> &held)
{
    Session session;
    session.text = text;
    session.display = wl_display_connect(nullptr);
    if (!session.display)
        return QStringLiteral("no Wayland display to connect to");
    Globals globals;
    wl_registry *registry = wl_display_get_registry(session.display);
    wl_registry_add_listener(registry, &registryListener, &globals);
    if (wl_display_roundtrip(session.display) < 0) {
        wl_registry_destroy(registry);
        return QStringLiteral("the Wayland display did not answer");
    }
    // The standard protocol is preferred; wlroots' own is taken where it is the only one.
    if (globals.ext || globals.wlr) {
        session.protocol = globals.ext ? &extProtocol : &wlrProtocol;
        session.manager
            = static_cast<wl_proxy *>(wl_registry_bind(registry, globals.ext ? globals.ext : globals.wlr, session.protocol->manager, 1));
    }
    if (globals.seat)
        session.seat = static_cast<wl_seat *>(wl_registry_bind(registry, globals.seat, &wl_seat_interface, 1));
    wl_registry_destroy(registry);
    if (!session.manager)
        return QStringLiteral("the Wayland compositor offers no clipboard control (ext_data_control_v1 or zwlr_data_control_manager_v1)");
    if (!session.seat)
        return QStringLiteral("the Wayland compositor has no seat");

    session.device = wl_proxy_marshal_flags(session.manager, managerGetDataDevice, session.protocol->device,
                                            wl_proxy_get_version(session.manager), 0, nullptr, session.seat);
    wl_proxy_add_listener(session.device, reinterpret_cast<void (**)(void)>(const_cast<DeviceListener *>(&deviceListener)), &session);
    session.source = wl_proxy_marshal_flags(session.manager, managerCreateDataSource, session.protocol->source,
                                            wl_proxy_get_version(session.manager), 0, nullptr);
    wl_proxy_add_listener(session.source, reinterpret_cast<void (**)(void)>(const_cast<SourceListener *>(&sourceListener)), &session);
    for (const char *type : textTypes)
        wl_proxy_marshal_flags(session.source, sourceOffer, nullptr, wl_proxy_get_version(session.source), 0, type);
    wl_proxy_marshal_flags(session.device, deviceSetSelection, nullptr, wl_proxy_get_version(session.device), 0, session.source);
    if (wl_display_roundtrip(session.display) < 0)
        return QStringLiteral("the Wayland compositor refused the clipboard (%1)")
            .arg(QString::fromLocal8Bit(std::strerror(wl_display_get_error(session.display))));
    if (session.lost)
        return QStringLiteral("the Wayland compositor gave the clipboard to another program at once");
    if (held)
        held();
    while (!session.lost && wl_display_dispatch(session.display) >= 0) {}
    return {};
}

} // namespace WaylandSelection
