// The per-user environment store: named text values that outlive the process, read by the script
// functions getenv/setenv and by the searches along KVOLIB, KVOINC and Path. The store is the file
// $XDG_CONFIG_HOME/kivo/environment (default $HOME/.config/kivo/environment) of UTF-8 lines
// NAME=VALUE; names are compared without regard to case. A name the store does not hold falls
// back to the process environment, so `KVOLIB=dir kv2 prog` works without touching the store.
//
// Invariant: the file on disk is always a complete store. Every change rewrites it into a
// temporary file in the same directory (that of the file a link to the store names), flushes it
// to disk and renames it over the old one while holding an exclusive advisory lock on
// environment.lock, so neither a crash nor a second process writing at the same time loses or
// corrupts an entry. Lines the store does not understand (no '=', comments) are kept as they are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/KvoTypes.h"

// kvoGetEnv's result for a name that neither the store nor the process environment holds.
constexpr std::int32_t KVO_ENV_NOT_FOUND = -1;

// Reads the value of name: the store's value when it holds the name, else the process
// environment's (same case first, then any case). Copies at most capacity - 1 units and a
// terminating zero into buffer (a surrogate pair is never split; buffer may be null when capacity
// is 0). Returns the full length of the value in UTF-16 units, which exceeds capacity - 1 when
// the copy was cut short, or KVO_ENV_NOT_FOUND (buffer then holds ""). A null or empty name is
// not found.
KVO_API std::int32_t kvoGetEnv(const KvoChar* name, KvoChar* buffer, std::size_t capacity);

// Stores name = value, replacing the value of a name held under any case (the new spelling of
// the name is kept). A null or empty value deletes the name instead (see kvoDeleteEnv).
// Returns 0 on success, else an errno value: EINVAL for a null or empty name, a name holding
// '=', or a name or value holding a line break (it could not be read back as one entry) or an
// unpaired surrogate (it has no UTF-8 form), so that whatever is stored reads back exactly;
// ENOENT when no home directory is known; the error of the file operation that failed otherwise.
// The process environment is not changed. The store file is replaced by kvoReplaceFile: a link
// to it is followed and it keeps its permissions (a new store is readable by its owner only).
KVO_API int kvoSetEnv(const KvoChar* name, const KvoChar* value);

// Removes every entry of name (any case) from the store. Returns 0 on success, ENOENT when the
// store held no such name (nothing is written then), EINVAL for an invalid name, or the error of
// the file operation that failed. A value in the process environment stays visible afterwards.
KVO_API int kvoDeleteEnv(const KvoChar* name);
