#include "package/load.h"

#include "base/memory.h"
#include "package/pe.h"
#include "startup/probe.h"

MachineState g_machine;
PackageReader g_reader;
static Catalogue g_catalogue;

// The headers of a mapped image always lie within its first page.
static const uint32_t kHeaderPage = 4096;
static const uint32_t kPathCapacity = 260;

static PackageStatus LoadFromFile(PlatformFile file, uint64_t packageEnd) {
  if (packageEnd < kTrailerWindowSize) return kPackageNoTrailer;
  uint8_t window[kTrailerWindowSize];
  uint64_t windowStart = packageEnd - kTrailerWindowSize;
  if (ReadFileAt(file, windowStart, window, kTrailerWindowSize) != 0) return kPackageUnreadable;
  PackageTrailer trailer;
  uint32_t trailerOffset = 0;
  PackageStatus status = FindTrailer(window, &trailer, &trailerOffset);
  if (status != kPackageOk) return status;
  uint64_t packedStart = 0;
  status = LocatePackedBlock(&trailer, windowStart + trailerOffset, &packedStart);
  if (status != kPackageOk) return status;

  g_reader.scratch = static_cast<uint8_t*>(AllocateMemory(kScratchSize));
  uint8_t* packed = static_cast<uint8_t*>(AllocateMemory(trailer.packedSize));
  if (g_reader.scratch == 0 || packed == 0) {
    FreeMemory(packed);
    return kPackageNoMemory;
  }
  status = ReadFileAt(file, packedStart, packed, trailer.packedSize) == 0 ? kPackageOk
                                                                          : kPackageUnreadable;
  if (status == kPackageOk) {
    status = ParsePackage(packed, &trailer, g_machine.archMask, g_machine.osMask, &g_catalogue);
  }
  FreeMemory(packed);
  return status;
}

Catalogue* LoadPackage(PackageStatus* statusOut) {
  PackageStatus status = kPackageOk;
  PeFacts facts;
  const uint8_t* image = GetModuleImage();
  if (image == 0 || image[0] != 'M' || image[1] != 'Z') status = kPackageNotExecutable;

  g_machine.archMask = ProbeArchitecture();
  g_machine.osMask = ProbeOsVersion();

  if (status == kPackageOk) status = ReadCertificateEntry(image, kHeaderPage, &facts);
  PlatformFile file = 0;
  if (status == kPackageOk) {
    Char16 path[kPathCapacity];
    if (GetOwnPath(path, kPathCapacity) != 0 || (file = OpenFileForReading(path)) == 0) {
      status = kPackageUnreadable;
    }
  }
  if (status == kPackageOk) {
    uint64_t packageEnd = facts.certificateOffset;
    if (packageEnd == 0) packageEnd = QueryFileSize(file);
    status = LoadFromFile(file, packageEnd);
  }
  if (statusOut) *statusOut = status;
  if (status != kPackageOk) {
    if (file != 0) CloseFile(file);
    return 0;
  }
  g_reader.file = file;
  g_machine.registryView = g_catalogue.registryView;
  return &g_catalogue;
}
