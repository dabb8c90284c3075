#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The clipboard of a Wayland desktop taken without a window or an input event, through the
// compositor's data-control protocol (ext_data_control_v1, or wlroots' older
// zwlr_data_control_manager_v1), as clipboard tools do. A program copies this way when it has no
// fresh click of its own to show the compositor: a command, or the tray after a background upload.
namespace WaylandSelection {

// Connects to the display named by WAYLAND_DISPLAY, offers `text` as the clipboard, calls `held`
// once the compositor has it, and serves it to whoever pastes until another client takes the
// clipboard or the display goes. Returns why it could not take the clipboard; empty when it did
// (and has now lost it).
QString hold(const QByteArray &text, const std::function<void()> &held);

} // namespace WaylandSelection
