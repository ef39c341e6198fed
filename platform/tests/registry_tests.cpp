#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/tests/registry_test_support.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#endif

namespace {

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryRoot;

using Registry = RegistryTest;

TEST_F(Registry, OpensOnlyWhatExistsUnlessAskedToCreate) {
  EXPECT_EQ(RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\a", RegistryAccess::ReadOnly),
            nullptr);
  // Creating needs full access.
  EXPECT_EQ(
      RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\a", RegistryAccess::ReadOnly, true),
      nullptr);
  auto created =
      RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\a\\b", RegistryAccess::Full, true);
  ASSERT_NE(created, nullptr);
  // Parents come with the key, and names are case-insensitive.
  EXPECT_NE(RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\A", RegistryAccess::ReadOnly),
            nullptr);
  EXPECT_NE(
      RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\a\\B", RegistryAccess::ReadOnly),
      nullptr);
}

TEST_F(Registry, StringsAndIntegersRoundTripWithTheirTypes) {
  auto key = RegistryKey::Open(RegistryRoot::CurrentUser, Base(), RegistryAccess::Full, true);
  ASSERT_NE(key, nullptr);
  const std::string awkward = "line\nbreak \"quoted\" back\\slash tab\t high\xE9 end";
  EXPECT_TRUE(key->WriteString("Text", awkward));
  EXPECT_TRUE(key->WriteString("", "default value"));
  EXPECT_TRUE(key->WriteInteger("Number", -123456));
  EXPECT_TRUE(key->WriteString("Empty", ""));

  auto reader = RegistryKey::Open(RegistryRoot::CurrentUser, Base(), RegistryAccess::ReadOnly);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->ReadString("text"), awkward);
  EXPECT_EQ(reader->ReadString(""), "default value");
  EXPECT_EQ(reader->ReadInteger("NUMBER"), -123456);
  EXPECT_EQ(reader->ReadString("Empty"), "");
  EXPECT_TRUE(reader->ValueExists("Empty"));
  EXPECT_FALSE(reader->ValueExists("Missing"));
  EXPECT_EQ(reader->ReadString("Missing"), std::nullopt);
  // A value of the other type does not read.
  EXPECT_EQ(reader->ReadString("Number"), std::nullopt);
  EXPECT_EQ(reader->ReadInteger("Text"), std::nullopt);

  // Overwriting changes the type, too.
  EXPECT_TRUE(key->WriteInteger("Text", 5));
  EXPECT_EQ(reader->ReadInteger("Text"), 5);
}

TEST_F(Registry, ReadOnlyKeysRefuseChanges) {
  RegistryKey::Open(RegistryRoot::CurrentUser, Base(), RegistryAccess::Full, true)
      ->WriteInteger("Kept", 1);
  auto reader = RegistryKey::Open(RegistryRoot::CurrentUser, Base(), RegistryAccess::ReadOnly);
  ASSERT_NE(reader, nullptr);
  EXPECT_FALSE(reader->WriteInteger("Other", 2));
  EXPECT_FALSE(reader->DeleteValue("Kept"));
  EXPECT_EQ(reader->ReadInteger("Kept"), 1);
  EXPECT_FALSE(reader->ValueExists("Other"));
}

TEST_F(Registry, DeletesValuesAndTrees) {
  auto key =
      RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\x", RegistryAccess::Full, true);
  ASSERT_NE(key, nullptr);
  key->WriteInteger("One", 1);
  EXPECT_TRUE(key->DeleteValue("ONE"));
  EXPECT_FALSE(key->DeleteValue("One"));
  EXPECT_FALSE(key->ValueExists("One"));

  ASSERT_NE(RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\x\\y\\z", RegistryAccess::Full,
                              true),
            nullptr);
  EXPECT_TRUE(RegistryKey::DeleteTree(RegistryRoot::CurrentUser, Base() + "\\x"));
  EXPECT_EQ(
      RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\x\\y", RegistryAccess::ReadOnly),
      nullptr);
  EXPECT_FALSE(RegistryKey::DeleteTree(RegistryRoot::CurrentUser, Base() + "\\x"));
}

TEST_F(Registry, ListsDirectSubKeysInCaseInsensitiveOrder) {
  for (const char* name : {"beta", "Alpha", "gamma", "10", "Delta"})
    RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\list\\" + name, RegistryAccess::Full,
                      true);
  RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\list\\beta\\deeper",
                    RegistryAccess::Full, true);
  auto list =
      RegistryKey::Open(RegistryRoot::CurrentUser, Base() + "\\list", RegistryAccess::ReadOnly);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->SubKeyNames(),
            (std::vector<std::string>{"10", "Alpha", "beta", "Delta", "gamma"}));
}

#if !defined(_WIN32)
TEST_F(Registry, MalformedLinesInTheStoreAreSkippedAndTheRestKept) {
  const char* directory = std::getenv("PARTILOOM_REGISTRY");
  {
    std::ofstream out(std::string(directory) + "/HKEY_LOCAL_MACHINE.reg");
    out << "[\"software\\\\asio\\\\Good\"]\n"
           "\"clsid\"=\"{00000000-0000-0000-0000-000000000001}\"\n"
           "garbage line\n"
           "\"half=\n"
           "\"Count\"=dword:zz\n"
           "\"Size\"=dword:00000010\n"
           "[\"unterminated\n"
           "\"lost\"=\"belongs to no key\"\n"
           "[\"software\\\\asio\\\\Second\"]\n";
  }
  auto good = RegistryKey::Open(RegistryRoot::LocalMachine, "SOFTWARE\\ASIO\\good",
                                RegistryAccess::ReadOnly);
  ASSERT_NE(good, nullptr);
  EXPECT_EQ(good->ReadString("clsid"), "{00000000-0000-0000-0000-000000000001}");
  EXPECT_EQ(good->ReadInteger("Size"), 16);
  EXPECT_FALSE(good->ValueExists("Count"));
  auto asio =
      RegistryKey::Open(RegistryRoot::LocalMachine, "software\\asio", RegistryAccess::ReadOnly);
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(asio->SubKeyNames(), (std::vector<std::string>{"Good", "Second"}));
}

// A writer killed at any moment leaves the old or the new value, whole.
TEST_F(Registry, AWriterKilledMidWriteLeavesAWholeStore) {
  const std::string base = Base();
  for (int round = 0; round < 5; ++round) {
    // The child says when its first write is done, so that a slow start under load still
    // leaves a value to check.
    int written[2];
    ASSERT_EQ(pipe(written), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(written[0]);
      auto key = RegistryKey::Open(RegistryRoot::CurrentUser, base, RegistryAccess::Full, true);
      for (int i = 0;; ++i) {
        key->WriteString("Payload", std::string(20000, static_cast<char>('a' + i % 26)));
        key->WriteInteger("Count", i);
        if (i == 0 && write(written[1], "w", 1) != 1) _exit(1);
      }
    }
    close(written[1]);
    char signal = 0;
    ASSERT_EQ(read(written[0], &signal, 1), 1);
    close(written[0]);
    usleep(round * 7000);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    auto key = RegistryKey::Open(RegistryRoot::CurrentUser, base, RegistryAccess::ReadOnly);
    ASSERT_NE(key, nullptr);
    const auto payload = key->ReadString("Payload");
    ASSERT_TRUE(payload);
    ASSERT_EQ(payload->size(), 20000u);
    EXPECT_EQ(payload->find_first_not_of((*payload)[0]), std::string::npos);
  }
}
#endif

}  // namespace
