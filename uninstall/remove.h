// What the generated uninstaller removes: the records that every installed
// version left in the product's uninstall folder, and the removal itself.
#pragma once

#include "base/types.h"
#include "package/package.h"
#include "package/uninstall_record.h"
#include "startup/message.h"

// More versions than anyone installs over one another.
const uint32_t kMaxRecords = 32;
// A record's file name ("<16 hex digits>.tpr") with room to spare.
const uint32_t kRecordNameCapacity = 32;

struct RecordSet {
  uint32_t count;
  uint32_t skipped;  // records found but not loaded: damaged, unreadable, or past kMaxRecords
  uint32_t primary;  // the newest record: its texts and settings speak for the product
  UninstallRecord records[kMaxRecords];
  uint8_t* data[kMaxRecords];
  Char16 names[kMaxRecords][kRecordNameCapacity];
  const Char16* product;  // the name of the product's folder in "uninstall\"
};

// Reads every "<folder>uninstall\<product>\*.tpr" that parses and names
// `product` as its ProductName, but for case (`folder` ends in "\"; the set
// keeps `product`); damaged ones, another product's, and ones past
// kMaxRecords are skipped and counted in `skipped`. The newest by write time
// becomes the primary one. Returns the count loaded.
uint32_t LoadRecords(const Char16* folder, const Char16* product, RecordSet* set);
void ReleaseRecords(RecordSet* set);

// Makes `catalogue` (with `languages`, room for the primary record's
// languages) speak for the product as the installer's package did: its
// ProductName, MutexName, WindowClass and WindowTitle settings, each
// language's LANGID with the running-product question and the
// administrator message in their places, and the registry view. Sets
// g_package to it and selects the user's language. Returns 0, or 1 when no
// memory is left.
int PrepareCatalogue(RecordSet* set, Catalogue* catalogue);

// The uninstall text `index` of the selected language.
const Char16* UninstallTextFor(const RecordSet* set, uint32_t index);

// What could not be removed: the names, one per line, cut when too many.
struct LeftItems {
  uint32_t count;
  Char16 text[kMessageCapacity];
};

// Removes what the records name under `folder` (ending in "\"), with WOW64
// file-system redirection off: every file (one that cannot be deleted is
// deleted at restart and listed; one whose path does not fit is listed),
// both shortcuts, the folders that are empty afterwards, deepest first, the
// uninstall entry while it still names this uninstaller, and the records
// themselves. Records that were skipped stay and are listed, so the removal
// counts as incomplete. Files nobody recorded stay, and so do their
// folders. Returns the count of items left.
uint32_t RemoveProduct(const Char16* folder, RecordSet* set, LeftItems* left);
