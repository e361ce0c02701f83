#ifndef HOSTSETTINGSFILE_H
#define HOSTSETTINGSFILE_H

#include <QString>

// The file named with --settings is the host's own. QSettings rewrites a whole
// file when it saves (a new copy renamed over the old one) and keeps only what
// it understands, so the host takes a file only when it holds nothing but what
// the host itself writes there: blank lines, the plug-in's group and its keys
// with whole numbers.
namespace HostSettingsFile {

// Empty when the host may keep its settings at path: nothing there yet, or a
// regular file of the host's. Otherwise what the user needs to hear, the kind
// of thing or the first line that is not the host's. Nothing is written, and
// only a regular file is opened, to be read.
QString refusal(const QString &path);

} // namespace HostSettingsFile

#endif // HOSTSETTINGSFILE_H
