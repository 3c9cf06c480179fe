// The version of a program file, read from the version resource of a real PE file that the
// MinGW linker made from tests/update/fixtures/loader_version.rc.
#include <gtest/gtest.h>

#include "procedure/DeviceRecord.h"
#include "update/VersionMarkers.h"

namespace {

TEST(PeVersion, FileVersionOfARealProgramFile) {
  procedure::DeviceRecord r;
  EXPECT_EQ(update::ReadPackageVersion("FileVersion", "LOADER.DLL", r, UPDATE_PE_DIR), "1.40");
  EXPECT_EQ(r.packageVersion, "1.40");
  EXPECT_EQ(r.packageVersionNumber, 1400);
  // A marker that the resource does not hold finds nothing.
  procedure::DeviceRecord r2;
  EXPECT_EQ(update::ReadPackageVersion("ProductCode", "LOADER.DLL", r2, UPDATE_PE_DIR), "");
}

}  // namespace
