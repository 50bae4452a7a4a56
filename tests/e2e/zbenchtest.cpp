#include "zbenchtest.h"

#include <QJsonDocument>

#include <memory>

namespace zbench {

namespace {

struct Shared {
  std::unique_ptr<Bench> bench;
  bool tried = false;
  Bench::StartResult result = Bench::StartResult::Failed;
  QString message;
};

Shared& shared() {
  static Shared s;
  return s;
}

// Tears the shared bench down after the last test of the run.
class BenchEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    Shared& s = shared();
    if (s.bench) {
      QString message;
      if (!s.bench->stop(&message)) ADD_FAILURE() << "bench teardown: " << message.toStdString();
      s.bench.reset();
    }
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new BenchEnvironment);

}  // namespace

void BenchTest::SetUp() {
  (void)kEnvironment;
  Shared& s = shared();
  if (!s.tried) {
    s.tried = true;
    s.bench = std::make_unique<Bench>();
    s.result = s.bench->start(&s.message);
  }
  if (s.result == Bench::StartResult::Unavailable) GTEST_SKIP() << s.message.toStdString();
  ASSERT_EQ(s.result, Bench::StartResult::Up) << s.message.toStdString();
}

Bench& BenchTest::bench() { return *shared().bench; }

QJsonObject driverResult(const Result& r) {
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  for (const QString& line : r.lines()) {
    if (line.startsWith("RESULT ")) return QJsonDocument::fromJson(line.mid(7).toUtf8()).object();
  }
  ADD_FAILURE() << "no RESULT line: " << r.out.toStdString() << r.err.toStdString();
  return QJsonObject();
}

}  // namespace zbench
