// libcurl, loaded when the first HTTPS request is made instead of when the
// program starts.
//
// Linked directly, libcurl brings some thirty libraries with it (two TLS
// stacks, Kerberos, LDAP, SSH, IDN, compression). Loading and relocating
// them and running their constructors cost the stand-in most of its
// start-up time and about half of its resident memory, for the only two
// features that need HTTPS: the update check and feedback. The definitions
// below stand in for the few libcurl functions the HTTPS backend calls and
// forward each call to the real library, opened on first use. If the library
// cannot be opened, curl_global_init and curl_easy_init fail, which the
// backend already reports as a request that could not be made.
//
// Only what https_posix.cpp calls is here; a new call there shows up as an
// undefined reference at link time and needs its forwarder added below.
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>

// With GCC, curl.h wraps these two in type-checking macros; the functions
// themselves are defined here.
#undef curl_easy_setopt
#undef curl_easy_getinfo

namespace {

struct CurlApi {
  CURLcode (*globalInit)(long) = nullptr;
  CURL* (*easyInit)() = nullptr;
  CURLcode (*easySetopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*easyPerform)(CURL*) = nullptr;
  CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...) = nullptr;
  void (*easyCleanup)(CURL*) = nullptr;
  const char* (*easyStrerror)(CURLcode) = nullptr;
  curl_slist* (*slistAppend)(curl_slist*, const char*) = nullptr;
  void (*slistFreeAll)(curl_slist*) = nullptr;
};

template <typename F>
void Bind(void* lib, const char* name, F* out) {
  *out = reinterpret_cast<F>(dlsym(lib, name));
}

// Opened once; the initialisation of a function-local static is
// thread-safe, and nobody sees the table before it is complete. All or
// nothing: a library that lacks one of the functions is not used at all.
const CurlApi& Api() {
  static const CurlApi api = [] {
    CurlApi a;
    void* lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return a;
    Bind(lib, "curl_global_init", &a.globalInit);
    Bind(lib, "curl_easy_init", &a.easyInit);
    Bind(lib, "curl_easy_setopt", &a.easySetopt);
    Bind(lib, "curl_easy_perform", &a.easyPerform);
    Bind(lib, "curl_easy_getinfo", &a.easyGetinfo);
    Bind(lib, "curl_easy_cleanup", &a.easyCleanup);
    Bind(lib, "curl_easy_strerror", &a.easyStrerror);
    Bind(lib, "curl_slist_append", &a.slistAppend);
    Bind(lib, "curl_slist_free_all", &a.slistFreeAll);
    if (!a.globalInit || !a.easyInit || !a.easySetopt || !a.easyPerform || !a.easyGetinfo ||
        !a.easyCleanup || !a.easyStrerror || !a.slistAppend || !a.slistFreeAll)
      return CurlApi();
    return a;
  }();
  return api;
}

}  // namespace

extern "C" {

CURLcode curl_global_init(long flags) {
  return Api().globalInit ? Api().globalInit(flags) : CURLE_FAILED_INIT;
}

CURL* curl_easy_init(void) {
  return Api().easyInit ? Api().easyInit() : nullptr;
}

// Every option takes one argument whose type the option's number range
// tells (curl.h: CURLOPTTYPE_*): it is read with that type and passed on
// with it, as libcurl itself reads it.
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  if (!Api().easySetopt) return CURLE_FAILED_INIT;
  va_list ap;
  va_start(ap, option);
  CURLcode r;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    long v = va_arg(ap, long);
    r = Api().easySetopt(handle, option, v);
  } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
    void* v = va_arg(ap, void*);
    r = Api().easySetopt(handle, option, v);
  } else if (option < CURLOPTTYPE_OFF_T) {
    using Fn = void (*)();
    Fn v = va_arg(ap, Fn);
    r = Api().easySetopt(handle, option, v);
  } else if (option < CURLOPTTYPE_BLOB) {
    curl_off_t v = va_arg(ap, curl_off_t);
    r = Api().easySetopt(handle, option, v);
  } else {
    void* v = va_arg(ap, void*);
    r = Api().easySetopt(handle, option, v);
  }
  va_end(ap);
  return r;
}

CURLcode curl_easy_perform(CURL* handle) {
  return Api().easyPerform ? Api().easyPerform(handle) : CURLE_FAILED_INIT;
}

// Every piece of information is written through one pointer.
CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  if (!Api().easyGetinfo) return CURLE_FAILED_INIT;
  va_list ap;
  va_start(ap, info);
  void* out = va_arg(ap, void*);
  va_end(ap);
  return Api().easyGetinfo(handle, info, out);
}

void curl_easy_cleanup(CURL* handle) {
  if (Api().easyCleanup) Api().easyCleanup(handle);
}

const char* curl_easy_strerror(CURLcode code) {
  return Api().easyStrerror ? Api().easyStrerror(code) : "libcurl is not available";
}

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
  return Api().slistAppend ? Api().slistAppend(list, text) : nullptr;
}

void curl_slist_free_all(curl_slist* list) {
  if (Api().slistFreeAll) Api().slistFreeAll(list);
}

}  // extern "C"
