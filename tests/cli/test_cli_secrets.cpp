// Runs after every other test: no program output of the whole run may contain
// a secret that some run was given (a store secret, an encryption key, a
// signing key's private half, a bearer token). The runs are recorded by
// runCli in CORVANE_TEST_OUTPUT_DIR, outputs and secrets side by side.

#include "support/files.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;

TEST(Secrets, NoProgramOutputContainsASecretItWasGiven) {
  const char* dir = std::getenv("CORVANE_TEST_OUTPUT_DIR");
  ASSERT_TRUE(dir && *dir) << "CORVANE_TEST_OUTPUT_DIR is not set";
  if (!fs::exists(dir)) GTEST_SKIP() << "no program ran in this selection of tests";

  std::set<std::string> secrets;
  std::vector<fs::path> outputs;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".outputs") outputs.push_back(entry.path());
    if (entry.path().extension() != ".secrets") continue;
    std::istringstream lines(vorn_test::slurp(entry.path()));
    for (std::string line; std::getline(lines, line);) secrets.insert(line);
  }
  if (outputs.empty()) GTEST_SKIP() << "no program ran in this selection of tests";
  ASSERT_FALSE(secrets.empty()) << "no run was given a secret: nothing was checked";

  size_t runs = 0;
  for (const auto& file : outputs) {
    const std::string text = vorn_test::slurp(file);
    for (size_t at = 0; (at = text.find("--- status ", at)) != std::string::npos; ++at) ++runs;
    for (const auto& secret : secrets) {
      // Named by its start only: the report must not leak it either.
      EXPECT_EQ(text.find(secret), std::string::npos)
          << "a secret starting \"" << secret.substr(0, 4) << "\" (" << secret.size()
          << " characters) was printed; see " << file;
    }
  }
  std::cout << "checked " << runs << " program runs against " << secrets.size() << " secrets\n";
}

}  // namespace
