#pragma once

#include <string>

namespace tessaway::platform {

/// A per-user folder for files that live as long as the session.
struct SessionFolder {
    std::string path;
    /// Why the folder must not be used; empty when it may.
    std::string problem;

    bool usable() const { return problem.empty(); }
};

/// The session folder `name`: $XDG_RUNTIME_DIR/`name`; without a runtime folder
/// /tmp/`name`-<uid> (whatever $TMPDIR says), where other users can create files too. With
/// `create`, a missing folder is made with mode 0700; without, a missing folder is usable and
/// simply holds nothing. An existing folder is used only when it is a real directory (not a link),
/// owned by this user and writable by nobody else.
SessionFolder sessionFolder(const std::string& name, bool create);

}  // namespace tessaway::platform
