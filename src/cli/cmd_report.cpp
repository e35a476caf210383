// q9 report DATA [--out FILE]: render a dossier from a JSON data file; with --out, write
// it, run the gate over the same text and print one result line and the errors.
#include <new>

#include "cli/commands.hpp"
#include "core/atomic_write.hpp"
#include "core/json.hpp"
#include "core/read_file.hpp"
#include "core/utf8.hpp"
#include "report/render.hpp"
#include "validate/validate.hpp"

namespace q9::cli {

int _cmd_report(const Args& args, Io& io) {
  std::string doc;
  try {
    json::Value data;
    {
      const files::FileBytes file(args.data);
      files::check_utf8(args.data, file.bytes());
      data = json::parse(file.bytes(), args.data);
    }
    doc = report::render(data);
  } catch (const report::RenderError& e) {
    // Only to name the data file in the diagnostic; the error still ends the command.
    throw report::RenderError(args.data + ": " + e.what());
  } catch (const std::bad_alloc&) {
    throw files::FileError(args.data + ": out of memory");
  }

  if (!args.out || args.out->empty()) {
    io.out << doc << '\n';
    return 0;
  }
  const std::string& out = *args.out;
  // The gate runs while the written document goes out to disk; the file is in place
  // before the result line is printed.
  files::AtomicWrite file(out, doc);
  const validate::Report result = validate::validate_text(doc, out);
  file.commit();
  // The size figure is characters (code points) / 1024, rounded down: the result line
  // is fixed so. The gate's "kb" counts bytes instead.
  io.out << "wrote " << out << " (" << utf8::length(doc) / 1024
         << " KB) | gate: " << (result.ok ? "PASS" : "FAIL") << '\n';
  if (!result.ok) {
    for (const std::string& error : result.errors) io.out << "  - " << error << '\n';
  }
  return result.ok ? 0 : 1;
}

}  // namespace q9::cli
