// Images of the window's buttons, drawn in code so the program carries no image files. Each
// icon is a few simple shapes that stay legible at the sizes the buttons use; the disabled look
// comes from the style.
#pragma once

#include <QIcon>

namespace sincrovia {

/// The pictures the window's image buttons show.
enum class IconKind {
    PortOpen,     ///< serial plug going in
    PortClose,    ///< serial plug with a cross
    ReadClock,    ///< clock face with a magnifier-like eye
    SyncClock,    ///< clock face inside two turning arrows
    AutoSync,     ///< clock face with the letter A
    ResetReader,  ///< a turning arrow back to zero
    ResetGps,     ///< a satellite
};

/// Draws the icon of `kind`, `size` pixels square.
QIcon MakeIcon(IconKind kind, int size);

}  // namespace sincrovia
