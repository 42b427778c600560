// What a waiter can see of the token's holder: who holds the token lock (as
// the kernel lists it) and whether that holder is making progress. Only the
// kernel's own records are read, so nobody can forge them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

// The process that holds an flock on the file (`device`, `inode`), as
// /proc/locks lists it; 0 when no holder is listed (the file is free, or its
// holder lives in a PID namespace this process cannot see).
pid_t vokFindTokenHolder(dev_t device, ino_t inode);

// Whether the process `process` may itself open `node` for writing, by the
// owner, group and mode that /proc and the node show (an ACL grant is not
// seen: such a holder counts as one that may not). A process that can only
// read the node can still hold an flock on it; its progress must not keep
// anybody waiting.
bool vokHolderMayWrite(pid_t process, const struct stat& node);

// A number that grows while the task runs: its CPU time and the times it was
// scheduled. `thread` 0 reads the whole process `process`, else its thread
// `thread`. 0 when the task's records cannot be read (it has ended).
uint64_t vokTaskProgress(pid_t process, pid_t thread);
