#include "probe/curl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace tessaway {
namespace {

template <class Function>
bool bind(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

const CurlLibrary* load() {
    static CurlLibrary api;
    void* library = dlopen("libcurl.so.4", RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    const bool complete = bind(library, "curl_global_init", api.globalInit) &&
                          bind(library, "curl_easy_init", api.easyInit) &&
                          bind(library, "curl_easy_setopt", api.easySetopt) &&
                          bind(library, "curl_easy_perform", api.easyPerform) &&
                          bind(library, "curl_easy_getinfo", api.easyGetinfo) &&
                          bind(library, "curl_easy_cleanup", api.easyCleanup) &&
                          bind(library, "curl_multi_init", api.multiInit) &&
                          bind(library, "curl_multi_add_handle", api.multiAddHandle) &&
                          bind(library, "curl_multi_remove_handle", api.multiRemoveHandle) &&
                          bind(library, "curl_multi_perform", api.multiPerform) &&
                          bind(library, "curl_multi_info_read", api.multiInfoRead) &&
                          bind(library, "curl_multi_poll", api.multiPoll) &&
                          bind(library, "curl_multi_wakeup", api.multiWakeup) &&
                          bind(library, "curl_multi_cleanup", api.multiCleanup);
    if (!complete || api.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
    // The library stays loaded until the process ends.
    return &api;
}

}  // namespace

const CurlLibrary* curlLibrary() {
    static std::once_flag once;
    static const CurlLibrary* api = nullptr;
    std::call_once(once, [] { api = load(); });
    return api;
}

std::future<const CurlLibrary*> preloadCurlLibrary() {
    return std::async(std::launch::async, curlLibrary);
}

}  // namespace tessaway
