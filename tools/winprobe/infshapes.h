// INF files in the shapes real driver packages have, for the probe's INF corpus: written for
// this project (no third-party text), as UTF-8 with LF line ends; the probe writes each as its
// package would ship it (CRLF, UTF-16LE or the ANSI code page).
#pragma once

// An NDIS miniport package: decorated models for two Windows releases, advanced properties
// in long AddReg lists, continued lines, quoted fields holding commas, Program Files
// subfolders as destinations, and English texts with German and French translations.
// Shipped as UTF-16LE.
constexpr char kShapeNetInf[] = R"INF(;-------------------------------------------------------------------------------
; kvnx64.inf -- Kvn(R) 10 Gigabit Ethernet adapters, NDIS 6.50 miniport driver
;
; Copyright (c) Kvn Networks. All rights reserved.
;-------------------------------------------------------------------------------

[Version]
Signature   = "$WINDOWS NT$"
Class       = Net
ClassGUID   = {4d36e972-e325-11ce-bfc1-08002be10318}
Provider    = %Kvn%
CatalogFile = kvnx64.cat
DriverVer   = 03/14/2026,2.4.118.0
PnpLockdown = 1

[SourceDisksNames]
1 = %DiskName%,,,""

[SourceDisksFiles]
kvnx64.sys  = 1,,
kvnmsg.dll  = 1,,
kvnx64.din  = 1,,
kvncoin.dll = 1,,

[DestinationDirs]
DefaultDestDir     = 12
Kvn.CopyFiles.Sys  = 12
Kvn.CopyFiles.Msg  = 11
Kvn.CopyFiles.Help = 16422, Kvn Networks\Adapters\Help   ; under Program Files

[ControlFlags]
ExcludeFromSelect = *

[Manufacturer]
%Kvn% = Kvn, NTamd64.10.0...16299, NTamd64.6.3

[Kvn.NTamd64.10.0...16299]
; DisplayName            Section         DeviceID
%KVN1572.DeviceDesc%   = KVN1572.ndi,    PCI\VEN_8086&DEV_1572
%KVN1572_1.DeviceDesc% = KVN1572.ndi,    PCI\VEN_8086&DEV_1572&SUBSYS_00018086
%KVN1572_2.DeviceDesc% = KVN1572.ndi,    PCI\VEN_8086&DEV_1572&SUBSYS_00028086
%KVN154C.DeviceDesc%   = KVN154C.ndi,    PCI\VEN_8086&DEV_154C

[Kvn.NTamd64.6.3]
%KVN1572.DeviceDesc%   = KVN1572.ndi,    PCI\VEN_8086&DEV_1572

[KVN1572.ndi]
Characteristics    = 0x84   ; NCF_HAS_UI | NCF_PHYSICAL
BusType            = 5      ; PCIBus
*IfType            = 6      ; IF_TYPE_ETHERNET_CSMACD
*MediaType         = 0      ; NdisMedium802_3
*PhysicalMediaType = 14     ; NdisPhysicalMedium802_3
AddReg             = KVN.ndi.reg, KVN.Params.reg, \
                     KVN.Rss.reg
CopyFiles          = Kvn.CopyFiles.Sys, Kvn.CopyFiles.Msg, Kvn.CopyFiles.Help

[KVN1572.ndi.Services]
AddService = kvnx64, 2, KVN.Service, KVN.EventLog

[KVN154C.ndi]
Characteristics = 0x84
BusType         = 5
AddReg          = KVN.ndi.reg
CopyFiles       = Kvn.CopyFiles.Sys

[KVN154C.ndi.Services]
AddService = kvnx64, 2, KVN.Service, KVN.EventLog

[KVN.ndi.reg]
HKR, Ndi,            Service,    0, "kvnx64"
HKR, Ndi\Interfaces, UpperRange, 0, "ndis5"
HKR, Ndi\Interfaces, LowerRange, 0, "ethernet"
HKR, ,               Description,0, "Kvn adapter, port 1 (copper, 10GBASE-T)"

[KVN.Params.reg]
HKR, Ndi\Params\*SpeedDuplex,       ParamDesc, 0, %SpeedDuplex%
HKR, Ndi\Params\*SpeedDuplex,       default,   0, "0"
HKR, Ndi\Params\*SpeedDuplex,       type,      0, "enum"
HKR, Ndi\Params\*SpeedDuplex\Enum,  "0",       0, %AutoDetect%
HKR, Ndi\Params\*SpeedDuplex\Enum,  "6",       0, %10Gb_Full%
HKR, Ndi\Params\*JumboPacket,       ParamDesc, 0, %JumboPacket%
HKR, Ndi\Params\*JumboPacket\Enum,  "1514",    0, %Disabled%
HKR, Ndi\Params\*JumboPacket\Enum,  "9014",    0, "9014 Bytes"
HKR, Ndi\Params\NetworkAddress,     LimitText, 0, "12"
HKR, Ndi\Params\NetworkAddress,     Optional,  0, "1"
HKR, ,                              "Feature Mask", 0x00010001, 0x0000000F
HKR, ,                              SupportedRates, 0x00010000, "1000", "2500", "5000", "10000"
HKLM, SYSTEM\CurrentControlSet\Services\EventLog\System\kvnx64, EventMessageFile, 0x00020000, \
      "%%SystemRoot%%\System32\netevent.dll;%%SystemRoot%%\System32\drivers\kvnx64.sys"

[KVN.Rss.reg]
HKR, Ndi\Params\*RSS,             ParamDesc, 0, %RSS%
HKR, Ndi\Params\*RSS\Enum,        "0",       0, %Disabled%
HKR, Ndi\Params\*RSS\Enum,        "1",       0, %Enabled%
HKR, Ndi\Params\*NumRssQueues,    ParamDesc, 0, %NumRssQueues%
HKR, Ndi\Params\*NumRssQueues,    default,   0, "8"

[KVN.Service]
DisplayName    = %KVN.Service.DispName%
ServiceType    = 1      ; SERVICE_KERNEL_DRIVER
StartType      = 3      ; SERVICE_DEMAND_START
ErrorControl   = 1      ; SERVICE_ERROR_NORMAL
ServiceBinary  = %12%\kvnx64.sys
LoadOrderGroup = NDIS
AddReg         = KVN.Service.reg

[KVN.Service.reg]
HKR, Parameters, BusyWait, 0x00010001, 0

[KVN.EventLog]
AddReg = KVN.EventLog.reg

[KVN.EventLog.reg]
HKR, , EventMessageFile, 0x00020000, "%%SystemRoot%%\System32\netevent.dll;%%SystemRoot%%\System32\kvnmsg.dll"
HKR, , TypesSupported,   0x00010001, 7

[Kvn.CopyFiles.Sys]
kvnx64.sys,,,2
kvnx64.din,,,2

[Kvn.CopyFiles.Msg]
kvnmsg.dll,,,2
kvncoin.dll,,,2

[Kvn.CopyFiles.Help]
kvnx64.chm,,,0x00004000   ; COPYFLG_IN_USE_RENAME

[Strings]
Kvn                   = "Kvn Networks"
DiskName              = "Kvn Networks Driver Disk"
KVN1572.DeviceDesc    = "Kvn(R) Ethernet Controller X710 for 10GbE SFP+"
KVN1572_1.DeviceDesc  = "Kvn(R) Ethernet Converged Network Adapter X710-2"
KVN1572_2.DeviceDesc  = "Kvn(R) Ethernet Converged Network Adapter X710-4"
KVN154C.DeviceDesc    = "Kvn(R) Ethernet Virtual Function 700 Series"
KVN.Service.DispName  = "Kvn(R) 10GbE Network Connection, NDIS 6.50"
SpeedDuplex           = "Speed & Duplex"
AutoDetect            = "Auto Negotiation"
10Gb_Full             = "10 Gbps Full Duplex"
JumboPacket           = "Jumbo Packet"
RSS                   = "Receive Side Scaling"
NumRssQueues          = "Maximum Number of RSS Queues"
Enabled               = "Enabled"
Disabled              = "Disabled"

[Strings.0407]
KVN1572.DeviceDesc    = "Kvn(R) Ethernet-Controller X710 für 10GbE SFP+"
KVN.Service.DispName  = "Kvn(R) 10GbE-Netzwerkverbindung, NDIS 6.50"
SpeedDuplex           = "Geschwindigkeit und Duplex"
AutoDetect            = "Automatische Aushandlung"
10Gb_Full             = "10 Gbit/s Vollduplex"
JumboPacket           = "Jumbo-Paket"
RSS                   = "Empfangsseitige Skalierung"
Enabled               = "Aktiviert"
Disabled              = "Deaktiviert"

[Strings.040C]
KVN1572.DeviceDesc    = "Contrôleur Ethernet Kvn(R) X710 pour 10GbE SFP+"
SpeedDuplex           = "Vitesse et duplex"
AutoDetect            = "Négociation automatique"
Enabled               = "Activé"
Disabled              = "Désactivé"
)INF";

// A network filter package for the driver store: files under DIRID 13 (the package's own
// folder there), a tool in a subfolder, a service whose binary and settings name %13%,
// and German texts. Shipped in the ANSI code page (1252).
constexpr char kShapeFilterInf[] = R"INF(;
; kvnfilt.inf -- Kvn packet filter (NDIS lightweight filter), universal driver package
;
[Version]
Signature   = "$Windows NT$"
Class       = NetService
ClassGuid   = {4D36E974-E325-11CE-BFC1-08002BE10318}
Provider    = %ProviderName%
CatalogFile = kvnfilt.cat
DriverVer   = 11/02/2026,1.3.7.12
PnpLockdown = 1

[DestinationDirs]
DefaultDestDir   = 13
Kvn.Filter.Tools = 13, tools\x64

[SourceDisksNames.amd64]
1 = %DiskDescription%,,,\amd64

[SourceDisksFiles.amd64]
kvnfilt.sys    = 1,,
kvnfiltctl.exe = 1,tools,

[DefaultInstall.NTamd64]
OptionDesc = %FilterDescription%
CopyFiles  = Kvn.Filter.Files, Kvn.Filter.Tools
AddReg     = Kvn.Filter.Ndi

[DefaultInstall.NTamd64.Services]
AddService = kvnfilt,, Kvn.Filter.Service

[Kvn.Filter.Files]
kvnfilt.sys,,,0x00000040   ; COPYFLG_OVERWRITE_OLDER_ONLY

[Kvn.Filter.Tools]
kvnfiltctl.exe

[Kvn.Filter.Ndi]
HKR, Ndi,            Service,        , "kvnfilt"
HKR, Ndi,            CoServices,     0x00010000, "kvnfilt"
HKR, Ndi,            HelpText,       , %FilterDescription%
HKR, Ndi,            FilterClass,    , compression
HKR, Ndi,            FilterType,     0x00010001, 2
HKR, Ndi\Interfaces, UpperRange,     , "noupper"
HKR, Ndi\Interfaces, LowerRange,     , "nolower"
HKR, Ndi\Interfaces, FilterMediaTypes, , "ethernet, wan, ppip"
HKR, Ndi,            FilterRunType,  0x00010001, 1   ; mandatory

[Kvn.Filter.Service]
DisplayName    = %FilterName%
Description    = %FilterDescription%
ServiceBinary  = %13%\kvnfilt.sys
ServiceType    = 1   ; SERVICE_KERNEL_DRIVER
StartType      = 1   ; SERVICE_SYSTEM_START
ErrorControl   = 1   ; SERVICE_ERROR_NORMAL
LoadOrderGroup = NDIS
AddReg         = Kvn.Filter.Service.Reg

[Kvn.Filter.Service.Reg]
HKR, Parameters, ToolPath, 0x00020000, "%13%\tools\x64\kvnfiltctl.exe"
HKR, Parameters, Bindings, 0x00010000, "ms_tcpip", "ms_tcpip6", \
                                        "ms_pppoe"
HKR, Parameters, Group,    ,           "Kvn, filters"

[Strings]
ProviderName      = "Kvn Networks"
DiskDescription   = "Kvn Packet Filter Installation Disk"
FilterName        = "Kvn Packet Filter"
FilterDescription = "Filters packets for Kvn(R) adapters"

[Strings.0407]
ProviderName      = "Kvn Networks"
DiskDescription   = "Installationsdatenträger für den Kvn-Paketfilter"
FilterName        = "Kvn-Paketfilter"
FilterDescription = "Filtert Pakete für Kvn(R)-Adapter"
)INF";
