// Within fileio: the names of results not yet committed, which the termination handler removes.
#pragma once

#include <string>

namespace vurn {

// Records the name in folder_fd for removal by the handler. Returns the entry, or -1 when the
// name cannot be recorded (too long, or every entry taken). Call with the signals held, together
// with creating the name.
int remember_pending(int folder_fd, const std::string& name);

// Records a folder the handler syncs before the process ends (a folder_syncs entry). False when
// every entry is taken.
bool remember_unsynced_folder(int folder_fd);

// Drops every such folder (they were synced).
void forget_unsynced_folders();

// Drops the entry slot (nothing when -1) and sets slot to -1. Call with the signals held,
// together with removing or committing the name.
void forget_pending(int& slot);

}  // namespace vurn
