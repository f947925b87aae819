// The rules lint knows, each with the help text a user reads to fix what it found.
#include "lint.h"

namespace lint {

const char *SeverityName(Severity severity) {
  switch (severity) {
    case Severity::Error: return "error";
    case Severity::Warning: return "warning";
    default: return "note";
  }
}

const std::vector<Rule> &Rules() {
  static const std::vector<Rule> rules = {
      // The package definition (vq*.xml).
      {"KVN101", Severity::Error, "package-definition-missing",
       "The component looks for a file named vq*.xml whose document element is kvn_package in the package "
       "directory; without one it answers no name, version or supported devices. Add the package definition."},
      {"KVN102", Severity::Error, "package-definition-ambiguous",
       "Only one vq*.xml file may describe the package: the component takes the first the directory lists, "
       "which differs between file systems. Remove or rename the others."},
      {"KVN103", Severity::Error, "xml-malformed",
       "The XML parser rejected the file at the line and column given; the component then reads nothing from "
       "it. Correct the file (an editor that checks XML shows the same place)."},
      {"KVN104", Severity::Error, "package-definition-element-missing",
       "The package definition lacks an element the component answers from (filename, name, description, "
       "version, supported_operating_systems). Add it; the component reads nothing in its place."},
      {"KVN105", Severity::Error, "version-format",
       "A version is four numbers from 0 to 65535 joined by dots (1.12.150.0), as Windows compares file "
       "versions. Write it so."},
      {"KVN106", Severity::Error, "device-code-format",
       "A pci supported_device needs ven and dev (and optionally subven and subdev) of four hexadecimal "
       "digits each; eisa, scsi and pnp devices need an id. Other values give an empty or wrong hardware ID, "
       "which matches no device."},
      {"KVN107", Severity::Error, "os-entry-unknown",
       "A supported_operating_system names a platform (nt, nt64, nt_x86-64), a Windows version "
       "(major.minor of a release: 5.0 to 6.3, 10.0) and optionally an edition code of the component's "
       "table (srvr, core, dc, ...). An entry outside them matches no Windows."},
      {"KVN108", Severity::Note, "language-missing",
       "The component has texts in English, French, German, Spanish, Italian and Japanese; a language "
       "without its own name or description falls back to English. Add the translation if it is wanted."},
      {"KVN109", Severity::Error, "description-not-cdata",
       "A description_xlate is read only from a CDATA section (<![CDATA[...]]>); plain text is not "
       "accepted and the description is not answered. Wrap the text in CDATA."},
      // The installation description and the dependency file.
      {"KVN201", Severity::Error, "install-description-invalid",
       "install.xml tells the component which INF to install, of which type: it needs kvn_install with "
       "inf_information and an inf_file element (inf_file_nt4 and inf_file_nt5 are read only on those "
       "releases). Without it a machine without Intel z40e devices cannot be installed."},
      {"KVN202", Severity::Error, "installation-type-unknown",
       "The inf_file type is LEGACY, PNP or VIRTUAL; any other value leaves the installation without a type "
       "and Install fails."},
      {"KVN203", Severity::Error, "inf-missing",
       "The INF that install.xml names must be in the package directory beside it."},
      {"KVN204", Severity::Error, "dependency-models-empty",
       "dependency.xml restricts the package to computer models: it needs componentdependencies, "
       "dependent_hardware and platforms with platform elements whose model attribute is not empty. "
       "Otherwise every computer is answered \"System model not supported.\"; remove the file to allow all."},
      // The INF, read through SetupAPI.
      {"KVN301", Severity::Error, "inf-unreadable",
       "SetupAPI could not open the INF (the error and, where it has one, the line). Correct the line; "
       "nothing of the INF is installed until it opens."},
      {"KVN302", Severity::Error, "inf-signature",
       "[Version] needs Signature=\"$Windows NT$\" (or \"$Chicago$\"); SetupAPI refuses the INF otherwise "
       "(ERROR_WRONG_INF_STYLE)."},
      {"KVN303", Severity::Error, "inf-class",
       "[Version] needs Class and ClassGUID, and for a class Windows defines they must name the same class "
       "(Net is {4d36e972-e325-11ce-bfc1-08002be10318}). The component and Windows compare both."},
      {"KVN304", Severity::Error, "inf-provider", "[Version] needs a Provider (usually %CompanyName%)."},
      {"KVN305", Severity::Error, "inf-driverver",
       "[Version] needs DriverVer = mm/dd/yyyy,a.b.c.d with a real date and a four-part version; Windows "
       "ranks drivers by them."},
      {"KVN306", Severity::Error, "inf-catalog",
       "[Version] CatalogFile names the signed catalog of the package, and the file must be in the package: "
       "a driver package without its catalog does not install on 64-bit Windows."},
      {"KVN307", Severity::Error, "inf-models",
       "[Manufacturer] names the models sections; each must exist and, for 64-bit Windows, be decorated "
       "NTamd64 (Models.NTamd64). 64-bit Windows ignores undecorated models sections."},
      {"KVN308", Severity::Error, "inf-section-missing",
       "A section the INF (or install.xml) refers to does not exist: an install section of a models line, "
       "a CopyFiles, AddReg, DelReg, DelFiles or RenFiles list, an AddService install or event-log section. "
       "Add the section or correct the name."},
      {"KVN309", Severity::Error, "inf-service-binary",
       "An AddService install section needs ServiceBinary, and the file it runs must be one the INF copies; "
       "otherwise the service starts nothing."},
      {"KVN310", Severity::Error, "inf-file-source",
       "Each file a CopyFiles list copies must be listed in [SourceDisksFiles] and be in the package "
       "directory; otherwise the copy fails during the install."},
      {"KVN311", Severity::Error, "inf-destination",
       "Each file list needs a destination: its own line in [DestinationDirs] or DefaultDestDir."},
      {"KVN312", Severity::Error, "inf-string-undefined",
       "A %key% the INF uses is not defined in [Strings]; SetupAPI leaves it as written, percent signs and "
       "all. Define it (a literal percent sign is written %%)."},
      {"KVN313", Severity::Warning, "inf-section-unused",
       "Nothing refers to this section, so nothing installs it. Remove it or refer to it."},
      // Across the package's files.
      {"KVN401", Severity::Error, "device-without-model",
       "A supported device of the package definition has no models line in the INF: the component offers "
       "the package for the device and Windows then finds no driver for it. Add the models line or remove "
       "the device."},
      {"KVN402", Severity::Warning, "model-not-supported",
       "A models line of the adapter family is not a supported device of the package definition: Windows "
       "would install the driver there, but the component does not offer the package for it."},
      {"KVN403", Severity::Error, "version-mismatch",
       "The package version, the INF's DriverVer version and the version resource of the driver file must "
       "agree: the component compares the package version with the installed driver file, so a package "
       "that disagrees is answered \"Older\" after every install and reinstalled for ever."},
      {"KVN404", Severity::Error, "installation-type-mismatch",
       "The installation type must fit the INF: PNP needs models lines, LEGACY an AddService, VIRTUAL a "
       "root device (a ROOT\\ hardware ID in the models); the service_name of install.xml must be one the "
       "INF adds."},
      {"KVN405", Severity::Error, "staged-file-missing",
       "The adapter flow stages fixed files from the package directory: the agent (direvo.exe, "
       "vode64r.sys) on machines without Intel z40e devices, the driver file set of the Windows release on "
       "machines with them. A missing file fails the install there."},
      {"KVN406", Severity::Error, "pe-machine",
       "A driver, library or program of the package must be a PE file for x64 (machine 0x8664); 64-bit "
       "Windows does not load an x86 driver."},
  };
  return rules;
}

const Rule *FindRule(const std::string &id) {
  for (const Rule &rule : Rules())
    if (id == rule.id) return &rule;
  return nullptr;
}

}  // namespace lint
