/*
 * tarvik: the filesystem library behind the mounted storage drive.
 *
 * The seventeen functions below are the library's whole public interface.
 * Texts are NUL-terminated in the local 8-bit code page; every output buffer
 * belongs to the caller. Unless said otherwise a function returns 0 on
 * success and -1 when a service call failed; a failed service call has been
 * reported through the status callback before the function returns.
 *
 * Calling order: tarvik_setProxy / tarvik_setCertificate, tarvik_init,
 * optionally tarvik_getPKIInfo, tarvik_mount or tarvik_mountForSession,
 * tarvik_getSessionInfo, tarvik_getAnnouncement /
 * tarvik_markReadCurrentAnnouncement, tarvik_unmount. The cache, crypto and
 * version functions may be called at any time, also before tarvik_init.
 */
#ifndef TARVIK_H
#define TARVIK_H

#include <stdbool.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TARVIK_API __attribute__((visibility("default")))
#else
#define TARVIK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Output buffer sizes the library fills at most (terminator included). */
#define TARVIK_JSESSIONID_SIZE 132
#define TARVIK_USERID_SIZE 132
#define TARVIK_ARRAYID_SIZE 36
#define TARVIK_CORPID_SIZE 36
/* Announcement text buffer: the caller passes at least this many bytes. */
#define TARVIK_ANNOUNCEMENT_SIZE 8004

/* Status callback: (code, message in the local code page). May be called
 * from any library thread, also concurrently; the text is valid only during
 * the call. */
typedef void (*StatusCallback)(int32_t code, const char* message);

/* libcurl's proxy type codes: 0 HTTP, 1 HTTP/1.0, 4 SOCKS4, 5 SOCKS5,
 * 6 SOCKS4A, 7 SOCKS5 with name resolution by the proxy. */
typedef int32_t ProxyType;

/* Mount option bits, passed to the drive layer unchanged (16: network drive). */
typedef uint32_t MountType;

struct _CERT_CONTEXT;

/* Stores the proxy settings; an empty host turns the proxy off, an empty
 * user sends no proxy credentials. Always 0. */
TARVIK_API int tarvik_setProxy(const char* host, int port, ProxyType type, const char* user,
                               const char* password);

/* Stores the caller's client certificate context (not copied, not freed);
 * NULL for none. Always 0. */
TARVIK_API int tarvik_setCertificate(const struct _CERT_CONTEXT* certificate);

/* Prepares a sign-in: log file (logging is on when `debug` is true),
 * base URL (ending in "/"), language ("ja" or "en"), status callback (NULL
 * selects one that writes to standard error) and the service's error
 * messages. 0, or -1 when the messages cannot be fetched. */
TARVIK_API int tarvik_init(const char* baseUrl, const char* language, bool debug,
                           StatusCallback callback);

/* Signs in with a password, then mounts the drive on `mountPoint` ("X:" names
 * $HOME/Ambermoor/X; a text beginning with "/" is a directory). With
 * `blocking` true the call returns only when the drive is removed. An empty
 * (or NULL) password returns TARVIK_STATUS_NO_PASSWORD without sending a
 * request, so the caller can ask for it. */
#define TARVIK_STATUS_NO_PASSWORD 1111
TARVIK_API int tarvik_mount(const char* mountPoint, const char* corpId, const char* userId,
                            const char* password, MountType type, bool blocking);

/* Adopts a session obtained elsewhere (no request is sent), then mounts. */
TARVIK_API int tarvik_mountForSession(const char* mountPoint, const char* corpId,
                                      const char* userId, const char* jsessionid,
                                      const char* arrayid, MountType type, bool blocking);

/* Removes the drive and tears the session down. 0 when the mount point was
 * removed, -1 otherwise (also when nothing is mounted). */
TARVIK_API int tarvik_unmount(void);

/* Copies the session values: at most TARVIK_JSESSIONID_SIZE bytes into
 * `jsessionid` and TARVIK_ARRAYID_SIZE into `arrayid`, always terminated.
 * Always 0. */
TARVIK_API int tarvik_getSessionInfo(char* jsessionid, char* arrayid);

/* The corporate ID (at most TARVIK_CORPID_SIZE bytes) and user ID (at most
 * TARVIK_USERID_SIZE bytes) the service associates with the client
 * certificate, and whether a password is still required. -1 leaves the
 * outputs untouched. */
TARVIK_API int tarvik_getPKIInfo(char* corpId, char* userId, bool* requiredPassword);

/* The service's current announcement (at most TARVIK_ANNOUNCEMENT_SIZE bytes,
 * terminated) and its modification time in milliseconds since 1970. */
TARVIK_API int tarvik_getAnnouncement(bool force, char* text, int64_t* modified);

TARVIK_API int tarvik_markReadCurrentAnnouncement(void);

/* Total size of the block cache in bytes. 0 or a storage status. */
TARVIK_API int tarvik_getCacheUsage(int64_t* bytes);

/* Empties the block cache but for blocks in use. 0 or a storage status. */
TARVIK_API int tarvik_clearCache(void);

/* Files of the account corpId/userId that wait for upload (their commit
 * failed; the library keeps them on disk and uploads them later), and,
 * while a drive is mounted, the number of files that programs have open for
 * writing on it. Writes the waiting files' drive paths (UTF-8, one per
 * line, each ended by "\n") into `list` (at most `size` bytes with the
 * terminating NUL, cut at a line end) when `list` is not null. Returns the
 * number of waiting files, or a negative status; *openForWriting (when not
 * null) receives the open-for-writing count. Asks nothing of the service. */
TARVIK_API int tarvik_getPendingUploads(const char* corpId, const char* userId, char* list,
                                        int size, int* openForWriting);

/* AES-128-CTR: writes the 16-byte iv then `length` transformed bytes;
 * returns length + 16, or -1 when the key cannot be set up. */
TARVIK_API int tarvik_encryptBytes(unsigned char* out, const unsigned char* in, unsigned length,
                                   const unsigned char* key, const unsigned char* iv);

/* Inverse of tarvik_encryptBytes; `length` counts the 16-byte iv header.
 * Returns length - 16, or -1 when length < 16 (nothing is written) or the
 * key cannot be set up. */
TARVIK_API int tarvik_decryptBytes(unsigned char* out, const unsigned char* in, unsigned length,
                                   const unsigned char* key);

/* Fills `buffer` with strong random bytes: 0, or negative on failure. */
TARVIK_API int tarvik_setRandomBytes(unsigned char* buffer, unsigned length);

/* The version text (first line of "VERSION" in the current directory, or
 * "UNKNOWN"); valid for the life of the process. */
TARVIK_API const char* tarvik_getVersionString(void);

#ifdef __cplusplus
}
#endif

#endif /* TARVIK_H */
