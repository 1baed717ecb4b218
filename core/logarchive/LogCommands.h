#pragma once

#include "KWLogManager.h"

#include "base/PlistValue.h"

namespace kw {

// wallctl "showlog": reloadLogItems, openDatabase, incorporateLogEntries, closeDatabase.
// The archive is closed on every path; exceptions (archive folder, damaged archive, full
// disk) reach the caller after the archive was rolled back and closed. True when the archive
// took the new entries.
bool runShowLogCommand(KWLogManager& manager = KWLogManager::sharedInstance());

// wallctl "delete-log" with the row list received for request 2: openDatabase,
// deleteItemsWithIds, closeDatabase. A list that is not an array of integer ids is logged
// and nothing is deleted (the archive is not even opened). True when rows were deleted.
bool runDeleteLogCommand(const Value& ids, KWLogManager& manager = KWLogManager::sharedInstance());

} // namespace kw
