#ifndef ORBISTOSETTINGSKEYS_H
#define ORBISTOSETTINGSKEYS_H

// Where the controller keeps its three settings in the host's store. A host may
// preset them there before it hands the store to loadSettings (an installer, a
// command line); the controller judges the values when they are saved.
namespace OrbistoSettingsKeys {

const char kGroup[] = "Orbisto";
const char kFramesCount[] = "framesCount";
const char kPostSnap[] = "postSnap";
const char kPreSnap[] = "preSnap";

} // namespace OrbistoSettingsKeys

#endif // ORBISTOSETTINGSKEYS_H
