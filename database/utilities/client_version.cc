#include "database/utilities/client_version.h"

namespace dz::database {
namespace {

constexpr char kSdkVersion[] = "3.1.1";
constexpr char kBuildDate[] = "20161111";
constexpr char kCommitId[] = "bdc155de7df72dad439cbad6d8caca31b7ef8257";

}  // namespace

std::string sdkVersion() { return kSdkVersion; }

std::string buildVersion() { return std::string(kSdkVersion) + "_" + kBuildDate + "_" + kCommitId; }

}  // namespace dz::database
