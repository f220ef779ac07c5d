// The application's database tree: the paths and fields every store and screen agrees on, and
// the push task records a server-side worker reads.
#pragma once

namespace pollapp::layout {

inline constexpr char kUsers[] = "users";
inline constexpr char kUserGeo[] = "usergeo";
inline constexpr char kPolls[] = "polls";
inline constexpr char kPollGeo[] = "pollgeo";
inline constexpr char kDirectPollsForUsers[] = "directPollsForUsers";
inline constexpr char kPollVotesByUsers[] = "pollVotesByUsers";
inline constexpr char kTaskQueue[] = "queue/tasks";

// Fields of user records.
inline constexpr char kFirstName[] = "firstName";
inline constexpr char kLastName[] = "lastName";
inline constexpr char kEmailAddress[] = "emailAddress";
inline constexpr char kPhoneNumber[] = "phoneNumber";
inline constexpr char kProfilePic[] = "profilePic";
inline constexpr char kDomain[] = "domain";
inline constexpr char kLocalPollsOn[] = "localPollsOn";
inline constexpr char kExperiments[] = "experiments";
inline constexpr char kCreatedAt[] = "createdAt";
inline constexpr char kDeviceToken[] = "deviceToken";
inline constexpr char kLocation[] = "location";
inline constexpr char kLatitude[] = "latitude";
inline constexpr char kLongitude[] = "longitude";

// Fields of poll records.
inline constexpr char kSender[] = "sender";
inline constexpr char kQuestion[] = "question";
inline constexpr char kClosed[] = "closed";
inline constexpr char kDeleted[] = "deleted";
inline constexpr char kType[] = "type";
inline constexpr char kOptions[] = "options";
inline constexpr char kRecipients[] = "recipients";
inline constexpr char kIndex[] = "index";
inline constexpr char kName[] = "name";
inline constexpr char kVotes[] = "votes";
inline constexpr char kVote[] = "vote";

// Experiments of user records, copied to the user default kUserExperimentsDefault.
inline constexpr char kAllowMultiplePollVotes[] = "allowMultiplePollVotes";
inline constexpr char kShowPollCreator[] = "showPollCreator";
inline constexpr char kShowPollVoter[] = "showPollVoter";
inline constexpr char kRevealPollCreatorOnPoll[] = "revealPollCreatorOnPoll";
inline constexpr char kRevealPollVotersOnPoll[] = "revealPollVotersOnPoll";

// User defaults of the application.
inline constexpr char kLocalPollsOnDefault[] = "localPollsOn";
inline constexpr char kUserExperimentsDefault[] = "userExperiments";

// The feeds' window and the local radius.
inline constexpr double kFeedWindowSeconds = 172800;
inline constexpr double kLocalRadiusKm = 20.0;

}  // namespace pollapp::layout
