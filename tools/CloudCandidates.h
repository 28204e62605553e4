// The cloud-candidate behaviour of the UDP reference server, for the fcitx5 example and for
// people trying it (`zvnet udp-serve --cloud`): each request's payload is typed text, and the
// reply is one candidate for it: a few pinyin syllables in Chinese characters, anything else
// with its first letter in capitals. `delay` holds every answer back, as a slow cloud would.
#ifndef ZVNET_TOOLS_CLOUDCANDIDATES_H_
#define ZVNET_TOOLS_CLOUDCANDIDATES_H_

#include <chrono>
#include <string>
#include <vector>

#include "tools/UdpReferenceServer.h"

// The candidate for `typed`.
std::string CloudCandidateFor(const std::string& typed);

// A behaviour for CUdpReferenceServer::SetBehaviour.
CUdpReferenceServer::Behaviour CloudCandidates(std::chrono::milliseconds delay);

#endif  // ZVNET_TOOLS_CLOUDCANDIDATES_H_
