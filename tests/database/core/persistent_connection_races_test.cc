// Events that cross each other: token changes during a fetch, requests that end the connection
// they go out on.
#include <gtest/gtest.h>

#include "tests/database/core/persistent_connection_fixture.h"

namespace dz::database::testing {
namespace {

using State = PersistentConnection::State;

class PersistentConnectionRacesTest : public PersistentConnectionTest {
 protected:
  // open() with the token fetch left unanswered.
  void openAndFetch() {
    tokens_->autoAnswer = false;
    onQueue([&] { connection_->open(); });
    flush();
    ASSERT_EQ(state(), State::FetchingToken);
  }
};

TEST_F(PersistentConnectionRacesTest, ASignOutDuringATokenFetchIsNotUndoneByTheFetch) {
  openAndFetch();
  onQueue([&] {
    connection_->refreshAuthToken(std::nullopt);
    tokens_->answer(std::string("token-of-the-signed-out-user"));
  });
  onQueue([&] { realtime().ready(); });
  EXPECT_EQ(state(), State::Online);
  EXPECT_EQ(realtime().actions(), std::vector<std::string>{"s"});
}

TEST_F(PersistentConnectionRacesTest, ASignInDuringATokenFetchIsNotUndoneByTheFetch) {
  openAndFetch();
  onQueue([&] {
    connection_->refreshAuthToken(std::string("new-user"));
    tokens_->answer(std::nullopt);
  });
  onQueue([&] { realtime().ready(); });
  EXPECT_EQ(state(), State::Authorizing);
  EXPECT_EQ(realtime().lastBodyOf("auth").at("cred"), "new-user");
}

TEST_F(PersistentConnectionRacesTest, TheNextAttemptUsesItsOwnFetchAgain) {
  openAndFetch();
  onQueue([&] {
    connection_->refreshAuthToken(std::string("handed-over"));
    tokens_->answer(std::string("fetched-1"));
  });
  onQueue([&] { realtime().drop(); });
  advance(std::chrono::seconds(1));
  onQueue([&] { tokens_->answer(std::string("fetched-2")); });
  onQueue([&] { realtime().ready(); });
  EXPECT_EQ(realtime().lastBodyOf("auth").at("cred"), "fetched-2");
}

}  // namespace
}  // namespace dz::database::testing
