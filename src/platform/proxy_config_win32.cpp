// The user's proxy settings on Windows, as Internet Options holds them,
// turned into the proxy libcurl is to use for one URL.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// After <windows.h>, which it needs.
#include <winhttp.h>

#include <atomic>
#include <climits>
#include <cwctype>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {

namespace {

// Automatic detection asks DHCP and DNS for a script on every try; where the
// network offers none, each transfer would wait for both again. A failure
// is remembered this long (a laptop may join a network that offers one).
constexpr ULONGLONG kDetectionRetryMilliseconds = 5 * 60 * 1000;
// When detection last failed; 0 while it has not.
std::atomic<ULONGLONG> detectionFailedAt{0};

template <typename Call>
void findCall(HMODULE library, const char* name, Call& call) {
  call = library == nullptr ? nullptr
                            : reinterpret_cast<Call>(reinterpret_cast<void*>(
                                  ::GetProcAddress(library, name)));
}

// winhttp.dll is no KnownDLL: imported, Windows would look for it in the
// executable's folder first, before main runs. Taken from System32 at the
// first transfer instead.
struct WinHttpCalls {
  decltype(&::WinHttpGetIEProxyConfigForCurrentUser) userSettings = nullptr;
  decltype(&::WinHttpCrackUrl) crackUrl = nullptr;
  decltype(&::WinHttpGetProxyForUrl) proxyForUrl = nullptr;
  // The session that script lookups run in, opened once for the process;
  // null when scripts cannot be asked.
  HINTERNET session = nullptr;
};

const WinHttpCalls* winHttpCalls() {
  static const WinHttpCalls calls = [] {
    WinHttpCalls found;
    HMODULE library = ::LoadLibraryExW(L"winhttp.dll", /*hFile=*/nullptr,
                                       LOAD_LIBRARY_SEARCH_SYSTEM32);
    decltype(&::WinHttpOpen) open = nullptr;
    findCall(library, "WinHttpGetIEProxyConfigForCurrentUser",
             found.userSettings);
    findCall(library, "WinHttpCrackUrl", found.crackUrl);
    findCall(library, "WinHttpGetProxyForUrl", found.proxyForUrl);
    findCall(library, "WinHttpOpen", open);
    if (open != nullptr && found.proxyForUrl != nullptr)
      found.session =
          open(/*pszAgentW=*/L"launcher", WINHTTP_ACCESS_TYPE_NO_PROXY,
               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, /*dwFlags=*/0);
    return found;
  }();
  return calls.userSettings != nullptr && calls.crackUrl != nullptr ? &calls
                                                                    : nullptr;
}

// Owners of the strings WinHTTP allocates for its answers.
struct UserSettings {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG value{};
  UserSettings() = default;
  UserSettings(const UserSettings&) = delete;
  UserSettings& operator=(const UserSettings&) = delete;
  ~UserSettings() {
    ::GlobalFree(value.lpszAutoConfigUrl);
    ::GlobalFree(value.lpszProxy);
    ::GlobalFree(value.lpszProxyBypass);
  }
};

struct ProxyAnswer {
  WINHTTP_PROXY_INFO value{};
  ProxyAnswer() = default;
  ProxyAnswer(const ProxyAnswer&) = delete;
  ProxyAnswer& operator=(const ProxyAnswer&) = delete;
  ~ProxyAnswer() {
    ::GlobalFree(value.lpszProxy);
    ::GlobalFree(value.lpszProxyBypass);
  }
};

// The parts of the URL that proxy lists and bypass lists speak of.
struct Target {
  std::wstring scheme;  // lower case
  std::wstring host;
  INTERNET_PORT port = 0;
};

bool crackUrl(const WinHttpCalls& calls, const std::wstring& url,
              Target& target) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  if (!calls.crackUrl(url.c_str(), /*dwUrlLength=*/0, /*dwFlags=*/0, &parts))
    return false;
  target.scheme.assign(parts.lpszScheme, parts.dwSchemeLength);
  for (wchar_t& c : target.scheme) c = static_cast<wchar_t>(std::towlower(c));
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  return true;
}

bool sameText(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

// Case-blind; '*' stands for any run of characters.
bool wildcardMatch(std::wstring_view pattern, std::wstring_view text) {
  constexpr std::size_t kNone = std::wstring_view::npos;
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = kNone;
  std::size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() &&
               std::towlower(pattern[p]) == std::towlower(text[t])) {
      ++p;
      ++t;
    } else if (star != kNone) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

// Calls visit for each entry of a list separated by semicolons or white
// space, until visit returns true.
template <typename Visit>
void forEachEntry(const wchar_t* list, Visit visit) {
  constexpr wchar_t kSeparators[] = L"; \t\r\n";
  std::wstring_view rest(list == nullptr ? L"" : list);
  for (;;) {
    const std::size_t start = rest.find_first_not_of(kSeparators);
    if (start == std::wstring_view::npos) return;
    rest.remove_prefix(start);
    const std::wstring_view entry =
        rest.substr(0, rest.find_first_of(kSeparators));
    if (visit(entry)) return;
    rest.remove_prefix(entry.size());
  }
}

// A bypass list as Internet Options writes it: host patterns such as
// "*.corp.example" or "10.*", optionally with a scheme ("https://host") or a
// port ("host:8443"), and "<local>" for every host name without a dot.
bool bypassed(const wchar_t* list, const Target& target) {
  bool found = false;
  forEachEntry(list, [&](std::wstring_view entry) {
    if (sameText(entry, L"<local>")) {
      found = target.host.find_first_of(L".:") == std::wstring::npos;
      return found;
    }
    const std::size_t schemeEnd = entry.find(L"://");
    if (schemeEnd != std::wstring_view::npos) {
      if (!sameText(entry.substr(0, schemeEnd), target.scheme)) return false;
      entry.remove_prefix(schemeEnd + 3);
    }
    std::wstring subject = target.host;
    if (entry.find(L':') != std::wstring_view::npos)
      subject += L':' + std::to_wstring(target.port);
    found = wildcardMatch(entry, subject);
    return found;
  });
  return found;
}

// A proxy named with its own scheme keeps it.
std::wstring withScheme(const wchar_t* scheme, std::wstring_view address) {
  if (address.find(L"://") != std::wstring_view::npos)
    return std::wstring(address);
  return scheme + std::wstring(address);
}

// A proxy list as Internet Options and scripts write it: "host:port" for
// every scheme, or "http=host:port;https=host:port;socks=host:port". The
// URL's own scheme wins, then an entry for all schemes, then SOCKS (version
// 4, which is what Windows speaks); nothing is a direct connection.
std::wstring proxyFromList(const wchar_t* list, const Target& target) {
  std::wstring forScheme;
  std::wstring forAll;
  std::wstring socks;
  forEachEntry(list, [&](std::wstring_view entry) {
    const std::size_t equals = entry.find(L'=');
    if (equals == std::wstring_view::npos) {
      if (forAll.empty()) forAll = withScheme(L"http://", entry);
      return false;
    }
    const std::wstring_view key = entry.substr(0, equals);
    const std::wstring_view address = entry.substr(equals + 1);
    if (address.empty()) return false;
    if (forScheme.empty() && sameText(key, target.scheme))
      forScheme = withScheme(L"http://", address);
    else if (socks.empty() && sameText(key, L"socks"))
      socks = withScheme(L"socks4://", address);
    return false;
  });
  if (!forScheme.empty()) return forScheme;
  return forAll.empty() ? socks : forAll;
}

// Asks a proxy script (the one detection finds, or the one at scriptUrl)
// for url's proxy. ERROR_SUCCESS with the answer in proxy, or the error.
DWORD askScript(const WinHttpCalls& calls, DWORD flags,
                const wchar_t* scriptUrl, const std::wstring& url,
                const Target& target, std::wstring& proxy) {
  WINHTTP_AUTOPROXY_OPTIONS options{};
  options.dwFlags = flags;
  if (flags & WINHTTP_AUTOPROXY_AUTO_DETECT)
    options.dwAutoDetectFlags =
        WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  options.lpszAutoConfigUrl = scriptUrl;
  ProxyAnswer answer;
  BOOL answered =
      calls.proxyForUrl(calls.session, url.c_str(), &options, &answer.value);
  DWORD error = answered ? ERROR_SUCCESS : ::GetLastError();
  if (error == ERROR_WINHTTP_LOGIN_FAILURE) {
    // The script's server wants to know who asks: ask again with the
    // user's own credentials.
    options.fAutoLogonIfChallenged = TRUE;
    answered =
        calls.proxyForUrl(calls.session, url.c_str(), &options, &answer.value);
    error = answered ? ERROR_SUCCESS : ::GetLastError();
  }
  if (error != ERROR_SUCCESS) return error;
  proxy.clear();
  if (answer.value.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
      !bypassed(answer.value.lpszProxyBypass, target))
    proxy = proxyFromList(answer.value.lpszProxy, target);
  return ERROR_SUCCESS;
}

bool detectionWorthTrying() {
  const ULONGLONG failedAt = detectionFailedAt.load();
  return failedAt == 0 ||
         ::GetTickCount64() - failedAt >= kDetectionRetryMilliseconds;
}

bool widen(const char* text, std::wstring& wide) {
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text,
                                           /*cbMultiByte=*/-1, nullptr, 0);
  if (length <= 0) return false;
  wide.resize(static_cast<std::size_t>(length));
  if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1,
                            wide.data(), length) != length)
    return false;
  wide.pop_back();  // the terminator
  return true;
}

bool narrow(const std::wstring& wide, char* buffer, std::size_t size) {
  const int capacity = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  return capacity > 0 &&
         ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, wide.c_str(),
                               /*cchWideChar=*/-1, buffer, capacity,
                               /*lpDefaultChar=*/nullptr,
                               /*lpUsedDefaultChar=*/nullptr) > 0;
}

}  // namespace

bool systemProxyFor(const char* url, char* buffer, std::size_t size) {
  const WinHttpCalls* calls = winHttpCalls();
  std::wstring wideUrl;
  Target target;
  if (calls == nullptr || !widen(url, wideUrl) ||
      !crackUrl(*calls, wideUrl, target))
    return false;
  // Read for every transfer: the user may change them while this runs.
  // Without any (the call fails), the connection is direct.
  UserSettings settings;
  if (!calls->userSettings(&settings.value)) return narrow(L"", buffer, size);
  const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& user = settings.value;

  // Internet Options' order: detection, then the script, then the fixed
  // proxy, each when the one before gives no answer.
  std::wstring proxy;
  bool decided = false;
  if (user.fAutoDetect && calls->session != nullptr && detectionWorthTrying()) {
    const DWORD error = askScript(*calls, WINHTTP_AUTOPROXY_AUTO_DETECT,
                                  nullptr, wideUrl, target, proxy);
    decided = error == ERROR_SUCCESS;
    if (error == ERROR_WINHTTP_AUTODETECTION_FAILED)
      detectionFailedAt.store(::GetTickCount64());
  }
  if (!decided && user.lpszAutoConfigUrl != nullptr &&
      calls->session != nullptr)
    decided =
        askScript(*calls, WINHTTP_AUTOPROXY_CONFIG_URL, user.lpszAutoConfigUrl,
                  wideUrl, target, proxy) == ERROR_SUCCESS;
  if (!decided && user.lpszProxy != nullptr &&
      !bypassed(user.lpszProxyBypass, target))
    proxy = proxyFromList(user.lpszProxy, target);
  return narrow(proxy, buffer, size);
}

}  // namespace platform
