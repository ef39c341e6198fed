#include <gtest/gtest.h>

#include "platform/file_dialog.h"
#include "platform/message_box.h"

namespace {

using namespace platform;

FileDialogRequest g_seen;

std::optional<std::string> AnswerChosen(const FileDialogRequest& request) {
  g_seen = request;
  return request.save ? "saved.fxp" : "opened.fxp";
}

TEST(FileDialog, AHandlerStandsInForTheDialogUntilRemoved) {
  SetFileDialogHandler(&AnswerChosen);
  FileDialogRequest request;
  request.save = true;
  request.title = "Save";
  request.filter = "Preset (*.fxp)|*.fxp|";
  EXPECT_EQ(RunFileDialog(request), std::optional<std::string>("saved.fxp"));
  EXPECT_EQ(g_seen.title, "Save");
  EXPECT_EQ(g_seen.filter, "Preset (*.fxp)|*.fxp|");
  request.save = false;
  EXPECT_EQ(RunFileDialog(request), std::optional<std::string>("opened.fxp"));
  SetFileDialogHandler(nullptr);
#if !defined(_WIN32)
  // Without a system dialog nobody can choose.
  EXPECT_EQ(RunFileDialog(request), std::nullopt);
#endif
}

std::string g_message;
void Remember(const std::string& text) { g_message = text; }

TEST(MessageBox, AHandlerStandsInForTheBox) {
  SetMessageBoxHandler(&Remember);
  ShowMessageBox("Hello");
  EXPECT_EQ(g_message, "Hello");
  SetMessageBoxHandler(nullptr);
#if !defined(_WIN32)
  ShowMessageBox("nobody sees this");
  EXPECT_EQ(g_message, "Hello");
#endif
}

}  // namespace
