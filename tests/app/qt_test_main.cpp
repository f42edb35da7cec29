// gtest main for the Qt tests: one QApplication for the whole run, on the
// offscreen platform unless the environment chose one.
#include <QApplication>
#include <gmock/gmock.h>

int main(int argc, char** argv) {
  // Test discovery runs this program too, outside ctest's environment.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
