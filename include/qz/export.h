// QZ_EXPORT marks the public API of libqz_netmessage; everything else in the library is hidden,
// so that only these symbols form its ABI.
#ifndef QZ_EXPORT_H_
#define QZ_EXPORT_H_

#if defined(_WIN32)
// The Windows build is the COM server, whose exports are its .def file's.
#define QZ_EXPORT
#else
#define QZ_EXPORT __attribute__((visibility("default")))
#endif

#endif  // QZ_EXPORT_H_
