// Committing the outputs of one input together: the document and its metadata, or the two
// tables. Under their final names there is afterwards either every new file or, as before, the
// old files or none, whatever fails and whichever interrupt arrives (SIGKILL and a power failure
// aside: they can leave a temporary file, or a replaced one under a hidden name, beside a whole
// unit).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "export/output/output_file.hpp"

namespace exporter {

struct CommitOutcome {
    // 0 when every file is in place; otherwise the operating system's error number, and no final
    // name holds anything other than before (EEXIST for a name taken without `replace`).
    int error = 0;
    // The file whose step failed, when `error` is set.
    std::size_t failed = 0;
    // When every file is in place but something after the last rename went wrong: a sentence each
    // (the directory not synced, a replaced file not removed).
    std::vector<std::string> warnings;
};

// Writes out and syncs every file, then renames each into place, replacing existing files only
// when `replace` is set. Until the last rename has succeeded every replaced file is kept, under a
// hidden name (swapped with the new one where the system can), and a failed rename puts every
// name back as it was. Interrupts wait until the unit is committed or undone. The files must be
// temporary files in one directory.
CommitOutcome commit_unit(std::span<OutputFile* const> files, bool replace);

}  // namespace exporter
