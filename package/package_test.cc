#include "package/package.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/engine/package_fakes.h"

namespace lorvane {
namespace {

using testing::CountingObserver;

// Every stored field must reach the persister, or a change is lost at the next
// restart; speed and remainder change many times a second and are not stored.
TEST(PackageTest, SettersNotifyOnceEachOnlyWithAnObserver) {
  Package* package = Package::Create();
  auto set_all = [package] {
    package->set_uri("http://127.0.0.1/a");
    package->set_path("/tmp");
    package->set_name("a");
    package->set_caption("a");
    package->set_metafile("/tmp/a.sugc");
    package->set_start_time(1);
    package->set_complete_time(2);
    package->set_create_time(3);
    package->set_download_size(4);
    package->set_total_size(5);
    package->set_error_code(6);
  };
  constexpr int kStoredSetters = 11;

  set_all();  // no observer: nobody to tell, and no crash

  CountingObserver observer;
  package->set_observer(&observer);
  set_all();  // the same values again: still one notification each
  EXPECT_EQ(observer.count(), kStoredSetters);

  package->set_download_speed(100);
  package->set_remainder_time(7);
  EXPECT_EQ(observer.count(), kStoredSetters);
  package->set_observer(nullptr);
}

}  // namespace
}  // namespace lorvane
