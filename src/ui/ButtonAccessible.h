#pragma once

// What assistive technology sees of the card's own buttons (CardButton, ColorDot) and what
// it may do with them. Qt's own interface for a checkable button offers only Toggle, which
// flips the checked state without a click; these buttons show the state the store gives
// them and act only on a click, so Toggle would change what is shown and do nothing. Here
// the first action of every one of them is Press, a checkable one also offers Toggle, and
// both do exactly what a click does.
namespace ButtonAccessible {

// Installs the interface for both classes. Their constructors call it; calling it again does
// nothing.
void install();

} // namespace ButtonAccessible
