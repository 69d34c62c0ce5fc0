// The names of the format: property types, the property ids the code refers
// to, node-id types and well-known node ids, page, block and heap signatures.
// Readers, writers, the store builder and the tests all take them from here;
// the names follow Microsoft's published ones ([MS-OXCDATA], [MS-OXPROPS],
// [MS-PST]) with a k prefix.
#pragma once

#include <cstdint>

namespace velmorix::format {

// Property types.
inline constexpr uint16_t kPtypInteger16 = 0x0002;
inline constexpr uint16_t kPtypInteger32 = 0x0003;
inline constexpr uint16_t kPtypFloating32 = 0x0004;
inline constexpr uint16_t kPtypFloating64 = 0x0005;
inline constexpr uint16_t kPtypCurrency = 0x0006;
inline constexpr uint16_t kPtypFloatingTime = 0x0007;
inline constexpr uint16_t kPtypErrorCode = 0x000A;
inline constexpr uint16_t kPtypBoolean = 0x000B;
inline constexpr uint16_t kPtypObject = 0x000D;
inline constexpr uint16_t kPtypInteger64 = 0x0014;
inline constexpr uint16_t kPtypString8 = 0x001E;
inline constexpr uint16_t kPtypString = 0x001F;
inline constexpr uint16_t kPtypTime = 0x0040;
inline constexpr uint16_t kPtypGuid = 0x0048;
inline constexpr uint16_t kPtypBinary = 0x0102;
// Set on a type for its multi-valued form (0x101F: several strings).
inline constexpr uint16_t kPtypMultipleFlag = 0x1000;

// Bytes a value of a fixed-size type takes; 0 for every type whose value is
// held by reference (strings, binaries, objects, multi-valued types).
constexpr uint32_t FixedWidth(uint16_t type) {
  switch (type) {
    case kPtypBoolean: return 1;
    case kPtypInteger16: return 2;
    case kPtypInteger32: case kPtypFloating32: case kPtypErrorCode: return 4;
    case kPtypFloating64: case kPtypCurrency: case kPtypFloatingTime: case kPtypInteger64: case kPtypTime: return 8;
    default: return 0;
  }
}

// A property tag: the id in the high 16 bits, the type in the low ones.
constexpr uint32_t Tag(uint16_t id, uint16_t type) { return uint32_t{id} << 16 | type; }

// Property ids.
inline constexpr uint16_t kPidTagNameidStreamGuid = 0x0002;
inline constexpr uint16_t kPidTagNameidStreamEntry = 0x0003;
inline constexpr uint16_t kPidTagNameidStreamString = 0x0004;
inline constexpr uint16_t kPidTagMessageClass = 0x001A;
inline constexpr uint16_t kPidTagSubject = 0x0037;
inline constexpr uint16_t kPidTagAttachSize = 0x0E20;
inline constexpr uint16_t kPidTagBody = 0x1000;
inline constexpr uint16_t kPidTagRtfCompressed = 0x1009;
inline constexpr uint16_t kPidTagHtml = 0x1013;
inline constexpr uint16_t kPidTagInternetMessageId = 0x1035;
inline constexpr uint16_t kPidTagLastModificationTime = 0x3008;
inline constexpr uint16_t kPidTagSearchKey = 0x300B;
inline constexpr uint16_t kPidTagAttachDataBinary = 0x3701;  // PidTagAttachDataObject as an object
inline constexpr uint16_t kPidTagAttachFilename = 0x3704;
inline constexpr uint16_t kPidTagAttachMethod = 0x3705;
inline constexpr uint16_t kPidTagAttachLongFilename = 0x3707;
inline constexpr uint16_t kPidTagRenderingPosition = 0x370B;
inline constexpr uint16_t kPidTagAttachMimeTag = 0x370E;
inline constexpr uint16_t kPidTagContentCount = 0x3602;
inline constexpr uint16_t kPidTagSubfolders = 0x360A;
inline constexpr uint16_t kPidTagInternetCodepage = 0x3FDE;
inline constexpr uint16_t kPidTagLtpRowId = 0x67F2;
inline constexpr uint16_t kPidTagLtpRowVer = 0x67F3;

// Node-id types: the low five bits of a node id.
inline constexpr uint8_t kNidTypeHid = 0x00;
inline constexpr uint8_t kNidTypeInternal = 0x01;
inline constexpr uint8_t kNidTypeNormalFolder = 0x02;
inline constexpr uint8_t kNidTypeSearchFolder = 0x03;
inline constexpr uint8_t kNidTypeNormalMessage = 0x04;
inline constexpr uint8_t kNidTypeAttachment = 0x05;
inline constexpr uint8_t kNidTypeSearchUpdateQueue = 0x06;
inline constexpr uint8_t kNidTypeSearchCriteriaObject = 0x07;
inline constexpr uint8_t kNidTypeAssocMessage = 0x08;
inline constexpr uint8_t kNidTypeContentsTableIndex = 0x0A;
inline constexpr uint8_t kNidTypeReceiveFolderTable = 0x0B;
inline constexpr uint8_t kNidTypeOutgoingQueueTable = 0x0C;
inline constexpr uint8_t kNidTypeHierarchyTable = 0x0D;
inline constexpr uint8_t kNidTypeContentsTable = 0x0E;
inline constexpr uint8_t kNidTypeAssocContentsTable = 0x0F;
inline constexpr uint8_t kNidTypeSearchContentsTable = 0x10;
inline constexpr uint8_t kNidTypeAttachmentTable = 0x11;
inline constexpr uint8_t kNidTypeRecipientTable = 0x12;
inline constexpr uint8_t kNidTypeSearchTableIndex = 0x13;
inline constexpr uint8_t kNidTypeLtp = 0x1F;
constexpr uint8_t NidType(uint32_t nid) { return nid & 0x1F; }

// Well-known node ids.
inline constexpr uint32_t kNidMessageStore = 0x21;
inline constexpr uint32_t kNidNameToIdMap = 0x61;
inline constexpr uint32_t kNidNormalFolderTemplate = 0xA1;
inline constexpr uint32_t kNidSearchFolderTemplate = 0xC1;
inline constexpr uint32_t kNidRootFolder = 0x122;
inline constexpr uint32_t kNidSearchManagementQueue = 0x1E1;
inline constexpr uint32_t kNidSearchActivityList = 0x201;
inline constexpr uint32_t kNidSearchDomainObject = 0x261;
inline constexpr uint32_t kNidHierarchyTableTemplate = 0x60D;
inline constexpr uint32_t kNidContentsTableTemplate = 0x60E;
inline constexpr uint32_t kNidAssocContentsTableTemplate = 0x60F;
inline constexpr uint32_t kNidSearchContentsTableTemplate = 0x610;
inline constexpr uint32_t kNidAttachmentTable = 0x671;
inline constexpr uint32_t kNidRecipientTable = 0x692;
// The top of the personal folders (IPM subtree) as clients number it.
inline constexpr uint32_t kNidDefaultTopFolder = 0x2142;

// Page types (ptype), as in a page trailer's ptype and ptypeRepeat bytes.
inline constexpr uint8_t kPtypeBbt = 0x80;
inline constexpr uint8_t kPtypeNbt = 0x81;
inline constexpr uint8_t kPtypeFMap = 0x82;
inline constexpr uint8_t kPtypePMap = 0x83;
inline constexpr uint8_t kPtypeAMap = 0x84;
inline constexpr uint8_t kPtypeFPMap = 0x85;
inline constexpr uint8_t kPtypeDl = 0x86;

// Block types of internal blocks: data trees (XBLOCK, XXBLOCK) and subnode
// trees (SLBLOCK, SIBLOCK).
inline constexpr uint8_t kBtypeDataTree = 0x01;
inline constexpr uint8_t kBtypeSubnodeTree = 0x02;

// Heap-on-node: its signature and the client signatures of what it holds.
inline constexpr uint8_t kHeapSignature = 0xEC;
inline constexpr uint8_t kBTypeTc = 0x7C;
inline constexpr uint8_t kBTypeBth = 0xB5;
inline constexpr uint8_t kBTypePc = 0xBC;
// The signature and client signature as one little-endian word.
inline constexpr uint16_t kHeapPropertyContext = uint16_t{kBTypePc} << 8 | kHeapSignature;
inline constexpr uint16_t kHeapTableContext = uint16_t{kBTypeTc} << 8 | kHeapSignature;
// A BTH header's signature and key size as one word: the property context's
// (2-byte keys) and the table context's row index (4-byte keys).
inline constexpr uint16_t kBthPropertyContext = 0x02B5;
inline constexpr uint16_t kBthRowIndex = 0x04B5;

// Largest heap allocation; larger values go to subnodes.
inline constexpr uint32_t kMaxHeapItem = 3580;

}  // namespace velmorix::format
