#include "tools/UdpScriptedReplies.h"

#include <string>

std::vector<UdpReplyPlan> ScriptedUdpReplies(const UdpServedRequest& request) {
  const std::string& text = request.payload;
  auto is = [&](const char* word) { return text.rfind(word, 0) == 0; };
  if (!request.wellFormed || is("silent")) return {};
  UdpReplyPlan plan;
  plan.cookie = request.cookie;
  plan.payload = text;
  UdpReplyPlan before = plan;
  if (is("delay:")) plan.delay = std::chrono::milliseconds(std::stoi(text.substr(6)));
  if (is("empty-reply")) plan.payload.clear();
  if (is("odd-magic")) plan.magic[0] = plan.magic[1] = 0x7E;
  if (is("max-size")) plan.payload.assign(1012, 'm');
  if (is("over-max")) plan.payload.assign(1013, 'o');
  if (is("trailing-zero")) plan.trailingZero = true;
  if (is("bad-checksum")) plan.wrongCheckSum = true;
  if (is("wrong-length")) plan.lengthSkew = 1;
  if (is("foreign-port")) plan.fromOtherPort = true;
  if (is("other-cookie")) plan.cookie += 1000;
  if (is("cookie:")) plan.cookie = static_cast<uint32_t>(std::stoul(text.substr(7)));
  if (is("over-then-echo")) before.padTo = 1100;
  if (is("foreign-then-echo")) before.fromOtherPort = true;
  if (is("over-then-echo") || is("foreign-then-echo")) return {before, plan};
  return {plan};
}
