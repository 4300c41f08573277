#pragma once

#include <curl/curl.h>

#include <future>

namespace tessaway {

/// The libcurl functions the HTTP client uses. The library is loaded when first needed rather
/// than when the program starts: most commands never send a request, and loading libcurl with
/// everything it depends on takes longer than the rest of their work.
struct CurlLibrary {
    decltype(&curl_global_init) globalInit;
    decltype(&curl_easy_init) easyInit;
    decltype(&curl_easy_setopt) easySetopt;
    decltype(&curl_easy_perform) easyPerform;
    decltype(&curl_easy_getinfo) easyGetinfo;
    decltype(&curl_easy_cleanup) easyCleanup;
    decltype(&curl_multi_init) multiInit;
    decltype(&curl_multi_add_handle) multiAddHandle;
    decltype(&curl_multi_remove_handle) multiRemoveHandle;
    decltype(&curl_multi_perform) multiPerform;
    decltype(&curl_multi_info_read) multiInfoRead;
    decltype(&curl_multi_poll) multiPoll;
    decltype(&curl_multi_wakeup) multiWakeup;
    decltype(&curl_multi_cleanup) multiCleanup;
};

/// The loaded and initialised library; nullptr when it cannot be loaded. Thread-safe.
const CurlLibrary* curlLibrary();

/// Starts loading the library on another thread, so that a request made a little later does
/// not wait for it. Keep the result until the load is no longer needed: its destruction waits
/// for the load to end, and the process must not exit while a load is under way.
[[nodiscard]] std::future<const CurlLibrary*> preloadCurlLibrary();

}  // namespace tessaway
