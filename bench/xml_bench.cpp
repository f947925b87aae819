// Section 1: CKvnXMLReader::Load of a generated package definition against the floor of the
// same bytes read from the file into Expat's buffer and parsed by the same Expat build with
// empty handlers; and
// its time per byte from the smallest size to the largest.
#include <expat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <winsim.h>

#include "bench.h"
#include "emptyparser.h"
#include "package/kvnxml.h"

namespace bench {

namespace {

const char *const kLanguages[] = {"en", "fr", "de", "es", "it", "ja", "ko", "zh-CN", "zh-TW", "pt-BR", "ru", "pl"};

// A package definition of about `bytes` bytes: translated names and descriptions, then as
// many supported devices as fit, then the operating systems.
std::string PackageDefinition(size_t bytes) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kvn_package>\n  <filename>vqbench.xml</filename>\n";
  out.reserve(bytes + 4096);
  out += "  <name>\n";
  for (const char *lang : kLanguages)
    out += std::string("    <name_xlate lang=\"") + lang + "\">Ethernet Network Adapter Driver (" + lang +
           ")</name_xlate>\n";
  out += "  </name>\n  <description>\n";
  for (const char *lang : kLanguages)
    out += std::string("    <description_xlate lang=\"") + lang +
           "\"><![CDATA[Installs the NDIS miniport driver for Ethernet network adapters & the agent.]]>"
           "</description_xlate>\n";
  out += "  </description>\n  <version value=\"25.0.0.3\"/>\n  <prerequisites>\n    <supported_devices>\n";
  const std::string tail =
      "    </supported_devices>\n    <supported_operating_systems>\n"
      "      <supported_operating_system platform=\"nt_x86-64\" major=\"10\" minor=\"0\" sr=\"0\" edition=\"srvr\"/>\n"
      "    </supported_operating_systems>\n  </prerequisites>\n</kvn_package>\n";
  char entry[512];
  for (unsigned i = 0; out.size() + tail.size() < bytes; ++i) {
    std::snprintf(entry, sizeof entry,
                  "      <supported_devices_and>\n        <supported_device type=\"pci\">\n"
                  "          <supported_device_data name=\"ven\">8086</supported_device_data>\n"
                  "          <supported_device_data name=\"dev\">%04X</supported_device_data>\n"
                  "          <supported_device_data name=\"subven\">8086</supported_device_data>\n"
                  "          <supported_device_data name=\"subdev\">%04X</supported_device_data>\n"
                  "        </supported_device>\n      </supported_devices_and>\n",
                  0x1000 + i % 0xF000, i % 0x10000);
    out += entry;
  }
  return out + tail;
}

// The floor: the file read straight into Expat's buffer, then one parse with handlers that
// do nothing (no copy of the bytes, as Load reads them).
double FloorMilliseconds(const fs::path &file) {
  Clock::time_point t0 = Clock::now();
  std::unique_ptr<std::FILE, decltype(&std::fclose)> in(std::fopen(file.c_str(), "rb"), &std::fclose);
  if (!in) throw SetupError("cannot read " + file.string());
  EmptyParser parser = NewEmptyParser();
  const int size = int(fs::file_size(file));
  void *buffer = XML_GetBuffer(parser.get(), size);
  if (!buffer || std::fread(buffer, 1, size_t(size), in.get()) != size_t(size) ||
      XML_ParseBuffer(parser.get(), size, XML_TRUE) == XML_STATUS_ERROR)
    throw SetupError("Expat rejects the generated package definition");
  return MillisecondsSince(t0);
}

// CKvnXMLReader::Load through winsim's file calls; the document is freed outside the timing.
double LoadMilliseconds(const wchar_t *path) {
  auto reader = std::make_unique<CKvnXMLReader>();
  Clock::time_point t0 = Clock::now();
  int result = reader->Load(path);
  double ms = MillisecondsSince(t0);
  if (result != XML_LOAD_OK) throw SetupError("CKvnXMLReader::Load answers " + std::to_string(result));
  return ms;
}

}  // namespace

void XmlSection(const Options &o, Report &report) {
  report.Section("1 XML load (CKvnXMLReader::Load) against Expat alone with empty handlers");
  const std::vector<size_t> sizes =
      o.quick ? std::vector<size_t>{10000, 100000} : std::vector<size_t>{100000, 1000000, 10000000};
  TempDir dir(o.keep);
  WriteMachine(o, 10, 1, dir.Path());
  OpenMachine(dir.Path());
  const wchar_t *path = L"C:\\Package\\vqbench.xml";
  fs::path host = winsim::HostPath(path);
  double firstPerByte = 0, lastPerByte = 0;
  size_t firstBytes = 0, lastBytes = 0;
  for (size_t size : sizes) {
    std::string text = PackageDefinition(size);
    WriteAll(host, text);
    double bytes = double(text.size());
    double load = Best(o.repeat, [&] { return LoadMilliseconds(path); });
    double floor = Best(o.repeat, [&] { return FloorMilliseconds(host); });
    auto rate = [&](double ms) { return Fixed(bytes / 1e3 / ms, 1) + " MB/s"; };
    report.Add(AtLeast("load of " + Megabytes(bytes), rate(load), rate(floor), floor / load, 0.85));
    if (!firstBytes) firstBytes = text.size(), firstPerByte = load / bytes;
    lastBytes = text.size(), lastPerByte = load / bytes;
  }
  CloseMachine();
  auto perMegabyte = [](double msPerByte) { return Fixed(msPerByte * 1e6, 1) + " ms/MB"; };
  report.Add(AtMost("time per byte at " + Megabytes(double(lastBytes)) + " against " + Megabytes(double(firstBytes)),
                    perMegabyte(lastPerByte), perMegabyte(firstPerByte), lastPerByte / firstPerByte, 1.3));
}

}  // namespace bench
