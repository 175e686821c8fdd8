// The smallest valid hive: a 4 KiB base block with its checksum, then one 4 KiB bin holding
// the root key cell, its security cell and one free cell over the rest.
#include "testing/hive_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

namespace dx_testing {
namespace {

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kRootOffset = 0x20;  // cells are addressed from the start of the first bin
constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr uint32_t kRegBinaryType = 3;

void Put16(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}
void Put32(std::string* out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// An allocated cell: negative size, the payload, padding to a multiple of 8.
std::string Cell(const std::string& payload) {
  uint32_t size = (4 + payload.size() + 7) & ~7u;
  std::string cell;
  Put32(&cell, static_cast<uint32_t>(-static_cast<int32_t>(size)));
  cell += payload;
  cell.resize(size, '\0');
  return cell;
}

std::string RootKey(uint32_t securityOffset, uint32_t values, uint32_t valueList) {
  constexpr std::string_view kName = "ROOT";
  std::string nk = "nk";
  Put16(&nk, 0x2C);  // hive entry, not deletable, name stored as ASCII
  nk.append(8, '\0');  // last written
  Put32(&nk, 0);       // access bits
  Put32(&nk, 0);       // parent (none)
  Put32(&nk, 0);       // subkeys
  Put32(&nk, 0);       // volatile subkeys
  Put32(&nk, kNone);   // subkey list
  Put32(&nk, kNone);   // volatile subkey list
  Put32(&nk, values);
  Put32(&nk, valueList);
  Put32(&nk, securityOffset);
  Put32(&nk, kNone);   // class name
  for (int i = 0; i < 5; ++i) Put32(&nk, 0);  // largest names and data, work variable
  Put16(&nk, kName.size());
  Put16(&nk, 0);
  nk += kName;
  return Cell(nk);
}

std::string Security(uint32_t offset) {
  // A self-relative descriptor with no owner, group or lists.
  std::string descriptor;
  descriptor.push_back(1);
  descriptor.push_back(0);
  Put16(&descriptor, 0x8000);
  for (int i = 0; i < 4; ++i) Put32(&descriptor, 0);
  std::string sk = "sk";
  Put16(&sk, 0);
  Put32(&sk, offset);  // the only security cell links to itself both ways
  Put32(&sk, offset);
  Put32(&sk, 1);       // reference count
  Put32(&sk, descriptor.size());
  return Cell(sk + descriptor);
}

// One bin holding the root key, its security cell and, when `bigSize` is not 0, the root's
// value "Big" of that many bytes (value i holds byte i % 251) in a big-data record.
std::string Bin(uint32_t bigSize) {
  constexpr uint32_t kSegment = 16344;
  const uint32_t segments = (bigSize + kSegment - 1) / kSegment;
  // Cell offsets, in the order the cells follow each other.
  const uint32_t security = kRootOffset + RootKey(0, 0, 0).size();
  const uint32_t valueList = security + Security(0).size();
  const uint32_t value = valueList + 8;
  const uint32_t bigData = value + 32;
  const uint32_t segmentList = bigData + 16;
  uint32_t at = segmentList + ((4 + 4 * segments + 7) & ~7u);
  std::string cells = RootKey(security, bigSize ? 1 : 0, bigSize ? valueList : kNone) +
                      Security(security);
  if (bigSize) {
    std::string list, vk = "vk", db = "db", offsets, data;
    Put32(&list, value);
    Put16(&vk, 3);
    Put32(&vk, bigSize);
    Put32(&vk, bigData);
    Put32(&vk, kRegBinaryType);
    Put16(&vk, 1);  // name stored as ASCII
    Put16(&vk, 0);
    vk += "Big";
    Put16(&db, segments);
    Put32(&db, segmentList);
    Put32(&db, 0);
    for (uint32_t i = 0; i < segments; ++i) {
      std::string segment;
      for (uint32_t b = i * kSegment; b < std::min(bigSize, (i + 1) * kSegment); ++b)
        segment.push_back(static_cast<char>(b % 251));
      Put32(&offsets, at);
      data += Cell(segment);
      at += Cell(segment).size();
    }
    cells += Cell(list) + Cell(vk) + Cell(db) + Cell(offsets) + data;
  }
  std::string bin = "hbin";
  const uint32_t size = (0x20 + cells.size() + 8 + kBlock - 1) / kBlock * kBlock;
  Put32(&bin, 0);
  Put32(&bin, size);
  bin.append(16, '\0');  // reserved, timestamp
  Put32(&bin, 0);
  bin += cells;
  Put32(&bin, size - bin.size());  // the rest is one free cell
  bin.resize(size, '\0');
  return bin;
}

std::string BaseBlock(uint32_t minor, uint32_t binSize) {
  std::string block = "regf";
  Put32(&block, 1);  // sequence numbers, equal: the hive is clean
  Put32(&block, 1);
  block.append(8, '\0');
  for (uint32_t v : {1u, minor, 0u, 1u, kRootOffset, binSize, 1u}) Put32(&block, v);
  block.resize(0x1FC, '\0');
  uint32_t checksum = 0;
  for (size_t at = 0; at < block.size(); at += 4) {
    checksum ^= static_cast<uint8_t>(block[at]) | static_cast<uint8_t>(block[at + 1]) << 8 |
                static_cast<uint8_t>(block[at + 2]) << 16 |
                static_cast<uint32_t>(static_cast<uint8_t>(block[at + 3])) << 24;
  }
  Put32(&block, checksum);
  block.resize(kBlock, '\0');
  return block;
}

}  // namespace

bool WriteEmptyHive(const std::string& path, uint32_t minor, uint32_t bigValue) {
  std::string bin = Bin(bigValue);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << BaseBlock(minor, bin.size()) << bin;
  return static_cast<bool>(out.flush());
}

}  // namespace dx_testing

namespace dx_testing {
namespace {

// Runs `command` through the shell; its standard output into *out, its standard error into
// *err. The exit status.
int RunCapturing(const std::string& command, std::string* out, std::string* err) {
  char errPath[] = "/tmp/dx-hive-check-XXXXXX";
  int fd = mkstemp(errPath);
  if (fd < 0) return -1;
  close(fd);
  FILE* pipe = popen((command + " 2>" + errPath).c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t got;
  out->clear();
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out->append(buffer, got);
  int status = pclose(pipe);
  std::ifstream in(errPath, std::ios::binary);
  err->assign(std::istreambuf_iterator<char>(in), {});
  unlink(errPath);
  return status;
}

std::string Quoted(const std::string& path) {
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string RegfExport(const std::string& path) {
  std::string out, err;
  int status = RunCapturing("regfexport " + Quoted(path), &out, &err);
  // regfexport ends with 0 also when it could not read the file: its complaints tell.
  if (status != 0 || !err.empty() || out.find("Unable to") != std::string::npos) {
    return "regfexport: " + err + out.substr(out.find("Unable to") == std::string::npos
                                                 ? out.size()
                                                 : out.find("Unable to"));
  }
  // The first line names the program's version, not the hive.
  return out.substr(out.find('\n') + 1);
}

bool MergeIntoHive(const std::string& path, const std::string& prefix,
                   const std::string& regText) {
  char regPath[] = "/tmp/dx-hive-merge-XXXXXX";
  int fd = mkstemp(regPath);
  if (fd < 0) return false;
  bool written = write(fd, regText.data(), regText.size()) ==
                 static_cast<ssize_t>(regText.size());
  close(fd);
  std::string out, err;
  bool merged = written && RunCapturing("hivexregedit --merge --prefix " + Quoted(prefix) +
                                            " " + Quoted(path) + " " + regPath,
                                        &out, &err) == 0;
  unlink(regPath);
  return merged;
}

std::string ExpandSzText(const std::string& ascii) {
  std::string text = "hex(2):";
  char byte[8];
  for (char c : ascii + '\0') {
    std::snprintf(byte, sizeof byte, "%02x,00,", static_cast<unsigned char>(c));
    text += byte;
  }
  text.pop_back();
  return text;
}

bool BuildWindowsFolder(const std::string& root) {
  const std::string config = root + "/Windows/System32/config";
  std::string mkdirs = "mkdir -p " + Quoted(config) + " " + Quoted(root + "/Users/ana") + " " +
                       Quoted(root + "/Users/BOB");
  if (std::system(mkdirs.c_str()) != 0) return false;
  for (const char* name : {"SOFTWARE", "SYSTEM", "SAM", "SECURITY", "DEFAULT"}) {
    if (!WriteEmptyHive(config + "/" + name)) return false;
  }
  if (!WriteEmptyHive(root + "/Users/ana/NTUSER.DAT") ||
      !WriteEmptyHive(root + "/Users/BOB/ntuser.dat")) {
    return false;
  }
  const std::string list = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
  std::string software = "Windows Registry Editor Version 5.00\n\n";
  std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE";
  for (const char* level : {"Microsoft", "Windows NT", "CurrentVersion", "ProfileList"}) {
    key += std::string("\\") + level;
    software += "[" + key + "]\n\n";
  }
  for (const auto& [sid, image] :
       {std::pair{"S-1-5-21-7-1001", "C:\\Users\\ana"},
        std::pair{"S-1-5-21-7-1002", "%SystemDrive%\\users\\Bob"},
        std::pair{"S-1-5-18", "%systemroot%\\system32\\config\\systemprofile"}}) {
    software += "[" + list + "\\" + sid + "]\n\"ProfileImagePath\"=" + ExpandSzText(image) +
                "\n\n";
  }
  const std::string system =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002]\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services]\n\"Set\"=\"two\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n\"Current\"=dword:00000002\n\n";
  return MergeIntoHive(config + "/SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE", software) &&
         MergeIntoHive(config + "/SYSTEM", "HKEY_LOCAL_MACHINE\\SYSTEM", system);
}

std::string ReaderComplaints(const std::string& path) {
  std::string complaints;
  std::string exported = RegfExport(path);
  if (exported.rfind("regfexport: ", 0) == 0) complaints = exported;
  std::string out, err;
  if (RunCapturing("hivexml " + Quoted(path), &out, &err) != 0 || !err.empty()) {
    complaints += "hivexml: " + err;
  }
  return complaints;
}

}  // namespace dx_testing
