// Keeps the library non-empty while its units are being added.
namespace scrt_detail { int scrt_anchor_ = 0; }
