#pragma once
// The user's runtime folder, where the program and the suite keep what must be private to
// the user and lives only as long as its processes: the single-instance lock and the
// message queue's sockets. Another user can neither enter it nor put anything there.
//
// It is $XDG_RUNTIME_DIR; where that is not set (a service, su, a shell without a
// session), $XDG_CACHE_HOME/zandrel-runtime (~/.cache/zandrel-runtime), made for the user.
// Either must be a folder of this user, not a link, that no one else may enter (mode 0700
// or stricter): a folder that is not is refused, never used or repaired, since someone else
// may have put it there. POSIX only, no Qt: the suite's stand-ins use it as well.

#include <string>

namespace hv {

// The folder's path, made if it is the fallback and missing. Empty when there is none fit
// for use, with `why` (when given) saying what is wrong and errno set.
std::string UserRuntimeFolder(std::string* why = nullptr);

// `parent`/`name` (one path component), made with mode 0700 if missing; held to the same
// rules as the runtime folder itself. Empty on failure, with `why` and errno.
std::string PrivateSubfolder(const std::string& parent, const std::string& name, std::string* why = nullptr);

// `text` as one safe path component: ASCII letters, digits and '-' as they are, every other
// byte as %XX; the empty text as "_" (which no other text gives).
std::string PathComponentFor(const std::string& text);

}  // namespace hv
