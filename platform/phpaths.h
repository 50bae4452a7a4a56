#ifndef PHPATHS_H
#define PHPATHS_H

#include <QString>

// Where the appliance keeps its files. Every path the service and the
// platform layer own is written in its production form ("/kozu/etc/...",
// "/var/log/...", "/run/kozu/..."), and goes through resolve() before use.
//
// With the environment variable VXR_FILES_ROOT set (or setRoot() called),
// those paths are re-rooted under that directory, so a test run or a demo
// never touches the machine's real files. Without it they stand unchanged.
namespace PHPaths {

// The current root; empty in production.
QString root();
// Overrides the root for this process (tests); an empty text restores the
// environment's value.
void setRoot(const QString& root);
// The path under the root; relative paths are returned unchanged.
QString resolve(const QString& absolutePath);

} // namespace PHPaths

#endif
