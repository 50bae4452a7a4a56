// GTest side of the bench: one bench per test binary run, started by the
// first test that needs it and torn down after the last test.
//
//   class MyFlow : public zbench::BenchTest {};
//   TEST_F(MyFlow, Uploads) {
//     zbench::Bench& b = bench();
//     ASSERT_TRUE(b.fill(zbench::Host::Appliance, "tank/home", 1, 4, 1 << 20, &err));
//     ...
//   }
//
// A test using the fixture is skipped, with the reason, when this machine
// cannot host a bench, and fails when the bench itself breaks. Tests share
// the pools, so each should use dataset names or snapshot names of its own,
// or clean up what it created.
#ifndef ZBENCHTEST_H
#define ZBENCHTEST_H

#include "zbench.h"

#include <QJsonObject>

#include <gtest/gtest.h>

namespace zbench {

class BenchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // The shared bench; valid in a test body once SetUp has not skipped.
  static Bench& bench();
};

// The object of a bench driver's "RESULT {json}" line; a failure of the
// test when the driver did not exit 0 or printed none.
QJsonObject driverResult(const Result& r);

}  // namespace zbench

#endif  // ZBENCHTEST_H
