// The security descriptor of every folder the installer creates, as the
// bytes Windows reads (a self-relative SECURITY_DESCRIPTOR): no owner or
// group (Windows makes the creator's default owner, Administrators for an
// elevated administrator, the owner), and a protected DACL, so nothing is
// inherited from a parent that standard users may write (C:\ lets any
// authenticated user create and change folders):
//   SYSTEM         full control, this folder, subfolders and files
//   Administrators full control, this folder, subfolders and files
//   Users          read and execute, this folder, subfolders and files
// Kept as constant bytes: no call builds it, nothing frees it.
#pragma once

#include "base/types.h"

namespace folder_security {

const uint32_t kFullControl = 0x001F01FF;     // FILE_ALL_ACCESS
const uint32_t kReadAndExecute = 0x001200A9;  // FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
const uint8_t kInherited = 0x03;              // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE
const uint16_t kControl = 0x9004;             // SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT

#define TP_LE16(v) static_cast<uint8_t>(v), static_cast<uint8_t>((v) >> 8)
#define TP_LE32(v) TP_LE16(v), TP_LE16((v) >> 16)

}  // namespace folder_security

// 20 bytes of header, then the DACL: an 8-byte ACL header and three ACEs of
// 20, 24 and 24 bytes.
inline constexpr uint8_t kAdministratorsOnlyFolder[] = {
    // SECURITY_DESCRIPTOR_RELATIVE: revision 1, control, owner, group,
    // SACL, DACL offsets.
    1, 0, TP_LE16(folder_security::kControl), TP_LE32(0), TP_LE32(0), TP_LE32(0), TP_LE32(20),
    // ACL: revision 2, size, three ACEs.
    2, 0, TP_LE16(76), TP_LE16(3), 0, 0,
    // ACCESS_ALLOWED_ACEs: type 0, flags, size, mask, then the SID:
    // revision 1, sub-authority count, NT AUTHORITY (5), sub-authorities.
    // SYSTEM (S-1-5-18).
    0, folder_security::kInherited, TP_LE16(20), TP_LE32(folder_security::kFullControl),
    1, 1, 0, 0, 0, 0, 0, 5, TP_LE32(18),
    // Administrators (S-1-5-32-544).
    0, folder_security::kInherited, TP_LE16(24), TP_LE32(folder_security::kFullControl),
    1, 2, 0, 0, 0, 0, 0, 5, TP_LE32(32), TP_LE32(544),
    // Users (S-1-5-32-545).
    0, folder_security::kInherited, TP_LE16(24), TP_LE32(folder_security::kReadAndExecute),
    1, 2, 0, 0, 0, 0, 0, 5, TP_LE32(32), TP_LE32(545),
};
static_assert(sizeof kAdministratorsOnlyFolder == 20 + 76, "header and DACL");

#undef TP_LE16
#undef TP_LE32
