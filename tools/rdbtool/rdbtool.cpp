// rdbtool: inspect and repair a resource database (see Usage below).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "patcher/engine/record_engine.h"
#include "patcher/resdb/block_database.h"
#include "patcher/resdb/block_database_format.h"
#include "patcher/resdb/database_conversion.h"

namespace {

namespace engine = qx::engine;

const char kUsage[] =
    "usage: rdbtool COMMAND DATABASE [ARGUMENTS]\n"
    "\n"
    "Inspects and repairs a resource database: the pair DATABASE.dat + DATABASE.idx\n"
    "(DATABASE may be given with or without \".dat\"). Types and instances are\n"
    "unsigned 32-bit numbers, decimal or 0x-hexadecimal.\n"
    "\n"
    "Commands:\n"
    "  info DATABASE                     format stamp, creation option, file modes,\n"
    "                                    record count, file sizes, stored definition\n"
    "  list DATABASE [TYPE]              one line per record in key order:\n"
    "                                    TYPE INSTANCE SIZE\n"
    "  get DATABASE TYPE INSTANCE [FILE] write the blob to FILE (default: standard output)\n"
    "  put DATABASE TYPE INSTANCE FILE   store the bytes of FILE (\"-\": standard input)\n"
    "                                    as the blob; --create makes a missing pair\n"
    "  delete DATABASE TYPE INSTANCE     remove a record\n"
    "  verify DATABASE                   read both files and report damage, left-over\n"
    "                                    copies and whether the index matches the data;\n"
    "                                    changes nothing\n"
    "  rebuild DATABASE                  repair the pair: drop damaged data, keep the\n"
    "                                    newest copy of each record, build a new index\n"
    "  stamp DATABASE [STAMP]            show the format stamp, or set it (1..255; a\n"
    "                                    stamp below 145 marks an older format, which\n"
    "                                    the patcher converts)\n"
    "  option DATABASE [on|off]          show or set the creation option bit (a pair\n"
    "                                    without it is converted by the patcher)\n"
    "  convert FOLDER                    run the patcher's database conversion on\n"
    "                                    FOLDER (which holds ResourceDatabase.*); run\n"
    "                                    it from the installation folder, whose log\n"
    "                                    receives its lines\n"
    "\n"
    "The pair must not be in use by the patcher while it is changed. Exit status:\n"
    "0 done (verify: no problems), 1 failed (verify: problems found), 2 usage.\n";

int Usage(const char* problem = nullptr) {
  if (problem) std::fprintf(stderr, "rdbtool: %s\n\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

bool ParseNumber(const std::string& text, std::uint32_t* value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xffffffffULL) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

// Keeps Open's write-through notices (standard error) out of the tool's output
// unless something goes wrong.
struct Database {
  BlockDatabase_t db;
  bool Open(const std::string& path, bool create) {
    if (db.Open(path.c_str(), !create) == 0) return true;
    std::fprintf(stderr, "rdbtool: cannot open %s%s\n", path.c_str(), create ? "" : " (does the pair exist? put --create makes one)");
    return false;
  }
};

std::string DataPath(const std::string& database) {
  std::string base = database;
  if (base.size() > 4 && (base.compare(base.size() - 4, 4, ".dat") == 0 || base.compare(base.size() - 4, 4, ".idx") == 0))
    base.resize(base.size() - 4);
  return base;
}

int Info(const std::string& database) {
  BlockDatabase_t keepEngine;
  engine::IFIL def = BlockDatabaseFormat::MakeDefinition(DataPath(database));
  int rc = engine::OpenFileSet(def);
  if (rc != engine::kOk) {
    std::fprintf(stderr, "rdbtool: cannot open %s (engine code %d)\n", database.c_str(), rc);
    return 1;
  }
  const int data = def.dataFileNumber;
  std::uint16_t stamp = 0;
  engine::GetFormatStamp(data, &stamp);
  std::uint8_t block[engine::kCreationBlockSize];
  engine::GetCreationParameters(data, block);
  long records = 0;
  std::uint8_t fixed[8];
  for (int r = engine::GetFirstKey(data + 1, fixed); r == engine::kOk; r = engine::GetNextKey(data + 1, fixed)) ++records;
  std::printf("database        %s\n", DataPath(database).c_str());
  std::printf("format stamp    %u%s\n", stamp, stamp >= 145 ? "" : " (older format)");
  std::printf("creation option %s\n", (block[0] & BlockDatabaseFormat::kCreationOptionBit) ? "set" : "clear");
  std::printf("data file mode  %ld\n", engine::GetFileMode(data, 3));
  std::printf("index file mode %ld\n", engine::GetFileMode(data + 1, 3));
  std::printf("records         %ld\n", records);
  for (const char* ext : {".dat", ".idx"}) {
    std::error_code ec;
    auto size = std::filesystem::file_size(DataPath(database) + ext, ec);
    std::printf("%s size        %llu bytes\n", ext + 1, ec ? 0ULL : static_cast<unsigned long long>(size));
  }
  engine::IFIL stored;
  if (engine::GetStoredDefinition(data, stored) == engine::kOk && !stored.indexes.empty()) {
    std::printf("definition      fixed length %u, index \"%s\" of %u bytes, fields \"%s\"..\"%s\"\n",
                stored.fixedRecordLength, stored.indexes[0].name.c_str(), stored.indexes[0].keyLength,
                stored.firstField.c_str(), stored.lastField.c_str());
  } else {
    std::printf("definition      not stored\n");
  }
  std::vector<engine::DODA> fields;
  if (engine::GetStoredFieldList(data, fields) == engine::kOk) {
    std::printf("field list     ");
    for (const auto& f : fields) std::printf(" %s(type %u, length %u)", f.name.c_str(), f.type, f.length);
    std::printf("\n");
  } else {
    std::printf("field list      not stored\n");
  }
  engine::CloseFileSet(def);
  return 0;
}

int List(const std::string& database, const std::vector<std::string>& args) {
  std::uint32_t onlyType = 0;
  bool filter = !args.empty();
  if (filter && !ParseNumber(args[0], &onlyType)) return Usage("TYPE must be a number");
  Database d;
  if (!d.Open(database, false)) return 1;
  BlockDatabaseCursor cursor(d.db);
  std::uint32_t type, instance, size;
  const std::uint8_t* data;
  int rc;
  while ((rc = cursor.Next(&type, &instance, &size, &data)) == 0) {
    if (!filter || type == onlyType) std::printf("%u %u %u\n", type, instance, size);
  }
  if (rc != 101) {
    std::fprintf(stderr, "rdbtool: the walk stopped at %u:%u with result %d\n", type, instance, rc);
    return 1;
  }
  return 0;
}

int Get(const std::string& database, const std::vector<std::string>& args) {
  std::uint32_t type, instance;
  if (args.size() < 2 || !ParseNumber(args[0], &type) || !ParseNumber(args[1], &instance))
    return Usage("get needs TYPE and INSTANCE");
  Database d;
  if (!d.Open(database, false)) return 1;
  std::uint32_t size;
  const std::uint8_t* data;
  int rc = d.db.GetView(type, instance, &size, &data);
  if (rc == 1) {
    std::fprintf(stderr, "rdbtool: no record %u:%u\n", type, instance);
    return 1;
  }
  if (rc != 0) {
    std::fprintf(stderr, "rdbtool: record %u:%u cannot be read (locked or damaged)\n", type, instance);
    return 1;
  }
  if (args.size() >= 3 && args[2] != "-") {
    std::ofstream out(args[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), size);
    if (!out) {
      std::fprintf(stderr, "rdbtool: cannot write %s\n", args[2].c_str());
      return 1;
    }
  } else if (size > 0 && std::fwrite(data, 1, size, stdout) != size) {
    return 1;
  }
  return 0;
}

int Put(const std::string& database, const std::vector<std::string>& args, bool create) {
  std::uint32_t type, instance;
  if (args.size() < 3 || !ParseNumber(args[0], &type) || !ParseNumber(args[1], &instance))
    return Usage("put needs TYPE, INSTANCE and FILE");
  std::vector<char> bytes;
  if (args[2] == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream in(args[2], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "rdbtool: cannot read %s\n", args[2].c_str());
      return 1;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  if (bytes.size() > 0xfffffff0u) {
    std::fprintf(stderr, "rdbtool: %s is too large for a blob\n", args[2].c_str());
    return 1;
  }
  Database d;
  if (!d.Open(database, create)) return 1;
  if (d.db.Put(type, instance, static_cast<std::uint32_t>(bytes.size()), bytes.data()) != 0) {
    std::fprintf(stderr, "rdbtool: storing %u:%u failed (locked, or the pair is damaged)\n", type, instance);
    return 1;
  }
  return 0;
}

int Delete(const std::string& database, const std::vector<std::string>& args) {
  std::uint32_t type, instance;
  if (args.size() < 2 || !ParseNumber(args[0], &type) || !ParseNumber(args[1], &instance))
    return Usage("delete needs TYPE and INSTANCE");
  Database d;
  if (!d.Open(database, false)) return 1;
  if (d.db.Delete(type, instance) != 0) {
    std::fprintf(stderr, "rdbtool: no record %u:%u deleted (missing or locked)\n", type, instance);
    return 1;
  }
  return 0;
}

int Verify(const std::string& database) {
  BlockDatabase_t keepEngine;
  engine::CheckReport report;
  int rc = engine::CheckFileSet(BlockDatabaseFormat::MakeDefinition(DataPath(database)), report);
  if (rc != engine::kOk) {
    std::fprintf(stderr, "rdbtool: cannot read %s (engine code %d: %s)\n", database.c_str(), rc,
                 rc == engine::kFileNotFound ? "no such data file" : "not a data file, or its header is damaged");
    return 1;
  }
  std::printf("records         %llu\n", static_cast<unsigned long long>(report.liveRecords));
  std::printf("indexed         %llu\n", static_cast<unsigned long long>(report.indexedRecords));
  std::printf("free            %llu slots, %llu bytes\n", static_cast<unsigned long long>(report.freeSlots),
              static_cast<unsigned long long>(report.freeBytes));
  std::printf("data file       %llu bytes\n", static_cast<unsigned long long>(report.dataFileSize));
  std::printf("index           %s\n", report.indexMatches ? "matches the data file" : "does not match the data file");
  for (const std::string& problem : report.problems) std::printf("problem         %s\n", problem.c_str());
  if (report.problems.empty() && report.indexMatches) {
    std::printf("verdict         sound\n");
    return 0;
  }
  std::printf("verdict         needs attention (rdbtool rebuild repairs it; the patcher repairs the\n"
              "                index of an unclean stop by itself when it opens the pair)\n");
  return 1;
}

int Rebuild(const std::string& database) {
  std::string data = DataPath(database) + ".dat";
  if (!std::filesystem::exists(data)) {
    std::fprintf(stderr, "rdbtool: no such data file %s\n", data.c_str());
    return 1;
  }
  BlockDatabaseRebuilder rebuilder(data.c_str());
  long before = rebuilder.CountRecords();
  int rc = rebuilder.Rebuild();
  long after = rebuilder.CountRecords();
  std::printf("\nrecords before %ld, after %ld; result %d\n", before, after, rc);
  return rc == 0 ? 0 : 1;
}

int Stamp(const std::string& database, const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::uint32_t stamp;
    if (!ParseNumber(args[0], &stamp) || stamp < 1 || stamp > 255) return Usage("STAMP must be 1..255");
    int rc = SetResourceDatabaseStamp(DataPath(database), stamp);
    if (rc != 0) {
      std::fprintf(stderr, "rdbtool: cannot set the stamp (engine code %d)\n", rc);
      return 1;
    }
  }
  if (!std::filesystem::exists(DataPath(database) + ".dat")) {
    std::fprintf(stderr, "rdbtool: no such data file %s.dat\n", DataPath(database).c_str());
    return 1;
  }
  std::printf("%u\n", ReadFormatStamp(DataPath(database) + ".dat"));
  return 0;
}

int Option(const std::string& database, const std::vector<std::string>& args) {
  if (!args.empty()) {
    if (args[0] != "on" && args[0] != "off") return Usage("option takes on or off");
    int rc = SetResourceDatabaseCreationOption(DataPath(database), args[0] == "on");
    if (rc != 0) {
      std::fprintf(stderr, "rdbtool: cannot change the option (engine code %d)\n", rc);
      return 1;
    }
  }
  Database d;
  if (!d.Open(database, false)) return 1;
  int code = 0;
  bool set = d.db.HasCreationOption(&code);
  if (!set && code != 0) {
    std::fprintf(stderr, "rdbtool: cannot read the creation parameters (engine code %d)\n", code);
    return 1;
  }
  std::printf("%s\n", set ? "on" : "off");
  return 0;
}

int Convert(const std::string& folder) {
  std::string withSeparator = folder;
  if (withSeparator.empty() || (withSeparator.back() != '/' && withSeparator.back() != '\\')) withSeparator += '/';
  std::string message;
  if (!ConvertResourceDatabase(withSeparator, message)) {
    std::fprintf(stderr, "rdbtool: conversion failed: %s\n", message.c_str());
    return 1;
  }
  std::printf("current\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool create = false;
  for (auto it = args.begin(); it != args.end();) {
    if (*it == "--help" || *it == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (*it == "--create") {
      create = true;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  if (args.size() < 2) return Usage(args.empty() ? nullptr : "missing DATABASE");
  const std::string command = args[0];
  const std::string database = args[1];
  std::vector<std::string> rest(args.begin() + 2, args.end());
  if (command == "info") return Info(database);
  if (command == "list") return List(database, rest);
  if (command == "get") return Get(database, rest);
  if (command == "put") return Put(database, rest, create);
  if (command == "delete") return Delete(database, rest);
  if (command == "verify") return Verify(database);
  if (command == "rebuild") return Rebuild(database);
  if (command == "stamp") return Stamp(database, rest);
  if (command == "option") return Option(database, rest);
  if (command == "convert") return Convert(database);
  return Usage(("unknown command " + command).c_str());
}
