#include "base/platform/shared_library.h"

#include <gtest/gtest.h>

#include <string>

namespace tobric::platform {
namespace {

TEST(SharedLibrary, LoadsByBareNameAndFindsExports) {
  std::string error;
  const SharedLibraryHandle library = LoadSharedLibrary("libm.so.6", &error);
  ASSERT_NE(library, nullptr) << error;
  using Cosine = double (*)(double);
  const auto cosine = reinterpret_cast<Cosine>(FindLibrarySymbol(library, "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(FindLibrarySymbol(library, "Torrix_Init"), nullptr);
}

TEST(SharedLibrary, MissingLibraryIsNullWithTheLoadersText) {
  std::string error;
  EXPECT_EQ(LoadSharedLibrary("libcorvane-absent-library.so", &error), nullptr);
  EXPECT_NE(error.find("libcorvane-absent-library.so"), std::string::npos) << error;
}

}  // namespace
}  // namespace tobric::platform
