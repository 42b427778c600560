// Internal routines of the device lock, visible to the library's unit tests.
// None of them is exported from libvok.so.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "lock/mutex.h"

// Sum of the name's bytes (each sign-extended) modulo mod: the pool slot.
size_t hash_str(const char* str, size_t mod);
// Sum of byte i (sign-extended) times (i + 1), modulo 97: the lock file number.
size_t lock_num_hash(const char* str);
// Joins the lock directory ($VOK_IPC_NAME or "/tmp") and name_postfix into buf.
int create_ipc_name(const char* name_postfix, char* buf, size_t buf_len);

// Takes both layers of the lock for name: 0 and l_descr filled, or -1 with
// nothing held and l_descr untouched.
int lock(const char* name, VokMutex* l_descr);
// Closes the lock file and gives the pool slot back.
int unlock(VokMutex* l_descr);

// For tests: the number of pool locks this process currently holds, and the
// pool mutex of a slot (0 to 10).
uint64_t vokMutexPoolCount();
pthread_mutex_t* vokMutexPoolSlot(size_t slot);
