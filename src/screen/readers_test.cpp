// The list readers on damaged and hostile files: each ends in a reason or a clean read,
// quickly and in bounded memory. Label "hostile": some cases build files of gigabytes
// (sparse) or inflate archives, which the sanitizer build leaves out.
#include "screen/readers.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "core/file_error.hpp"
#include "core/read_file.hpp"
#include "screen/csv.hpp"
#include "screen/screen.hpp"
#include "testing/support.hpp"

namespace q9::screen {
namespace {
namespace fs = std::filesystem;
using test::TempDir;
using test::write_text;

// The reader's failure, or "read N" with the entries read.
template <class F>
std::string outcome(F&& read) {
  size_t n = 0;
  try {
    read([&](const EntryView&) { ++n; });
  } catch (const ListError& e) {
    return e.what();
  }
  return "read " + std::to_string(n);
}

const std::string ALT = "7001,101,\"aka\",\"MUELLER, Johannes\",-0- \r\n";

TEST(Readers, DamagedAndHostileFilesEndInAReason) {
  const std::string good =
      "7001,\"MUELLER, Hans\",\"individual\",\"SDGT\",-0-,-0-,-0-,-0-,-0-,-0-,-0-,-0-\r\n";
  const struct {
    std::string sdn;
    const char* want;
  } ROWS[] = {
      {good + good, "read 2"},
      {good + "7002,\"CUT", "SDN.CSV: malformed record 2: a quoted field is not closed"},
      {good + "7002,\"A\"B,x\r\n", "SDN.CSV: malformed record 2: text after a closing quote"},
      {good + "7002,\"A\",\"individual\"\r\n",
       "SDN.CSV: malformed record 2: expected 12 fields beginning with an entity number"},
      {good + std::string("7002,A\0B,", 9) + "\r\n", "SDN.CSV: malformed record 2: a NUL byte"},
      {good + "7002,\"" + std::string(2 << 20, 'a') + "\"\r\n",
       "SDN.CSV: malformed record 2: longer than 1 MiB"},
      {good + "7002," + std::string(2 << 20, 'a') + "\r\n",
       "SDN.CSV: malformed record 2: longer than 1 MiB"},
      {"<!DOCTYPE html><html><body>Access Denied</body></html>",
       "not OFAC's SDN.CSV (an HTML page)"},
      {"\x1f\x8b\x08\x00", "not OFAC's SDN.CSV (gzip data)"},
      {"", "not OFAC's SDN.CSV (an empty file)"},
      // Bytes that are not UTF-8 stay data: the entry is read.
      {"7001,\"M\xfc\xff"
       "LLER, Hans\",-0-,-0-,-0-,-0-,-0-,-0-,-0-,-0-,-0-,-0-\r\n\x1a",
       "read 1"},
  };
  for (const auto& row : ROWS) {
    EXPECT_EQ(outcome([&](const EntrySink& s) { read_ofac(row.sdn, ALT, s); }), row.want)
        << row.sdn.substr(0, 80);
  }
}

TEST(Readers, AFileOfGigabytesIsRefusedWithoutReadingIt) {
  TempDir dir;
  write_text(dir / "ofac-alt.csv", ALT);
  write_text(dir / "ofac-sdn.csv", "7001,\"");
  ASSERT_EQ(::truncate((dir / "ofac-sdn.csv").c_str(), off_t(2) << 30), 0);  // sparse
  Options o;
  o.lists = {find_list("ofac-sdn")};
  o.names = {"x"};
  o.from = dir.path();
  const ListOutcome out = screen(o).at(0);
  EXPECT_EQ(out.reason,
            dir.path().string() + ": SDN.CSV is 2048 MiB, more than any copy of the list");
}

TEST(Readers, DeepOrBrokenXmlIsNotTheList) {
  const std::string head = "<CONSOLIDATED_LIST dateGenerated=\"2026-01-01\"><INDIVIDUALS>";
  std::string deep = head;
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  const struct {
    std::string xml;
    const char* want;
  } ROWS[] = {
      {deep, "the UN list is damaged: line 1: elements nested deeper than 32"},
      {head + "<INDIVIDUAL><FIRST_NAME>A\xff</FIRST_NAME></INDIVIDUAL>",
       "the UN list is damaged: line 1: not well-formed (invalid token)"},
      {head + std::string("<INDIVIDUAL>\0", 13),
       "the UN list is damaged: line 1: not well-formed (invalid token)"},
      {"<!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
       "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d "
       "\"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
       "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\"><!ENTITY f "
       "\"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">"
       "<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">]>" +
           head +
           "<INDIVIDUAL><FIRST_NAME>&g;&g;&g;&g;&g;&g;</FIRST_NAME></INDIVIDUAL></INDIVIDUALS></"
           "CONSOLIDATED_LIST>",
       "the UN list is damaged: line 1: a value longer than 64 KiB"},
      {"<html><body>x</body></html>", "not the UN list (an HTML page)"},
      {"<OTHER_LIST/>", "not the UN list (root OTHER_LIST)"},
  };
  for (const auto& row : ROWS) {
    const std::string got = outcome([&](const EntrySink& s) { read_un(row.xml, s); });
    EXPECT_TRUE(got.starts_with(row.want)) << got;
  }
}

// A zip whose node files are `entities` (repeated `times`), with its stated sizes replaced
// by `stated` when given: the forged archives a zip bomb is made of.
fs::path make_zip(const TempDir& dir, const std::string& body, long times, long stated = -1) {
  const fs::path zip = dir / "icij.zip";
  const std::string script =
      "import struct, sys, zipfile\n"
      "body = open(sys.argv[2], 'rb').read() * int(sys.argv[3])\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    z.writestr('nodes-entities.csv', body)\n"
      "    z.writestr('nodes-officers.csv', '\"node_id\",\"name\"\\n')\n"
      "    z.writestr('nodes-intermediaries.csv', '\"node_id\",\"name\"\\n')\n"
      "stated = int(sys.argv[4])\n"
      "if stated >= 0:\n"
      "    data = bytearray(open(sys.argv[1], 'rb').read())\n"
      "    struct.pack_into('<I', data, 22, stated)\n"
      "    cd = data.index(b'PK\\x01\\x02')\n"
      "    struct.pack_into('<I', data, cd + 24, stated)\n"
      "    open(sys.argv[1], 'wb').write(data)\n";
  write_text(dir / "make.py", script);
  write_text(dir / "body", body);
  const std::string cmd = "python3 " + (dir / "make.py").string() + " " + zip.string() + " " +
                          (dir / "body").string() + " " + std::to_string(times) + " " +
                          std::to_string(stated);
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  return zip;
}

TEST(Readers, ZipBombsAreRefusedBeforeTheyFillMemory) {
  const std::string row = "\"1\",\"SEA BREEZE TRADING INC.\"\n";
  const struct {
    long times, stated;
    const char* want;
  } ROWS[] = {
      {1, -1, "read 1"},
      // minizip stops at the stated size: the records end cut short.
      {1 << 20, 100, "ICIJ nodes-entities.csv: malformed record 5: a quoted field is not closed"},
      {4, 0x90000000L, "ICIJ nodes-entities.csv would inflate to more than 2 GiB"},
  };
  for (const auto& r : ROWS) {
    TempDir dir;
    const fs::path zip = make_zip(dir, "\"node_id\",\"name\"\n" + row, r.times, r.stated);
    check_icij(zip);
    EXPECT_EQ(outcome([&](const EntrySink& s) { read_icij_member(zip, ICIJ_MEMBERS[0], s); }),
              r.want);
  }
}

}  // namespace
}  // namespace q9::screen
