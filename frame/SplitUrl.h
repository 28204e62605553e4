// Cuts a wide URL into its components.
#ifndef ZVNET_FRAME_SPLITURL_H_
#define ZVNET_FRAME_SPLITURL_H_

#include <string>
#include <string_view>

#include "frame/UrlComponents.h"

// Fills `components` from `url`; false, with the record cleared, when the URL is malformed or
// a component exceeds its limit. A null URL is a programming error: CFailureException(E_FAIL).
bool SplitUrl(UrlComponents* components, const wchar_t* url);

// `url` with the user name and password of its authority (and the "@" that ends them) left
// out, for text that leaves the process or is logged; the rest stays as written. Where the
// authority could be read two ways, the longer reading is cut, so nothing of the credentials
// that SplitUrl would find is left.
std::wstring UrlWithoutUserInfo(std::wstring_view url);

// The cleared state: port 0, scheme unknown, all lengths 0, all buffers empty.
void ClearUrlComponents(UrlComponents* components);

#endif  // ZVNET_FRAME_SPLITURL_H_
