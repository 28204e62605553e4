#include "tools/CloudCandidates.h"

#include <cctype>
#include <map>

std::string CloudCandidateFor(const std::string& typed) {
  static const std::map<std::string, std::string> kWords = {
      {"ni", "你"},      {"hao", "好"},        {"nihao", "你好"},     {"zhong", "中"},
      {"wen", "文"},     {"zhongwen", "中文"}, {"shu", "输"},         {"ru", "入"},
      {"shuru", "输入"}, {"fa", "法"},         {"shurufa", "输入法"}, {"yun", "云"},
      {"wang", "网"},    {"luo", "络"},        {"wangluo", "网络"},   {"xiexie", "谢谢"},
  };
  const auto found = kWords.find(typed);
  if (found != kWords.end()) return found->second;
  std::string answer = typed;
  if (!answer.empty())
    answer[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(answer[0])));
  return answer;
}

CUdpReferenceServer::Behaviour CloudCandidates(std::chrono::milliseconds delay) {
  return [delay](const UdpServedRequest& request) {
    std::vector<UdpReplyPlan> replies;
    if (!request.wellFormed) return replies;
    UdpReplyPlan reply;
    reply.cookie = request.cookie;
    reply.payload = CloudCandidateFor(request.payload);
    reply.delay = delay;
    replies.push_back(std::move(reply));
    return replies;
  };
}
