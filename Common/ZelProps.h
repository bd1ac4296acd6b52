// The property identifiers under which settings pass between the neutral
// components and the provider objects (SetProp / GetProp). The numbers are
// fixed: they are part of the interface between the layers.
#pragma once

#include <cstdint>

namespace vix {

using TPropId = int32_t;

enum : TPropId {
  prUsername = 1,
  prAutoCommit = 5,
  prScanParams = 11,
  prRowsAffected = 13,
  prUniDirectional = 20,
  prFetchRows = 21,
  prFetchAll = 22,
  prRecordCount = 23,
  prExecuting = 24,
  prLongStrings = 25,
  prFlatBuffers = 27,
  prConvertEOL = 28,
  prIndexFieldNames = 29,
  prCompressBlob = 30,
  prDisconnectedMode = 31,
  prDisableParamScan = 32,
  prQuoteNames = 34,
  prDatabase = 38,
  prPort = 39,
  prEnableBCD = 41,
  prEnableFMTBCD = 42,
  prCanReadParams = 43,
  prStoredProc = 45,
  prIsSelectParams = 46,
  prLockFetchAll = 47,
  prDefaultSortType = 48,
  prLastInsertId = 49,
  prExtendedFieldsInfo = 51,
  prDefaultValues = 52,
  prFieldsOrigin = 53,
  prCheckRowVersion = 101,
  prLockType = 102,
  prAutoIncrementReadOnly = 103,
  prConnectionTimeout = 1001,
  prFieldsAsString = 1005,
  prNullForZeroDate = 1006,
  prCompress = 1007,
  prCharset = 1009,
  prProtocol = 1011,
  prEnableBoolean = 1014,
  prCreateConnection = 1015,
  prCommandTimeout = 1016,
  prOpenNext = 1017,
  prUseUnicode = 1018,
  prEmbeddedParams = 1019,
  prSSLCipherList = 1020,
  prSSLCACert = 1021,
  prSSLKey = 1022,
  prSSLCert = 1023,
  prMoreResults = 1025,
  prParamPosition = 1027,
  prFillParamPosition = 1028,
  prUseHandler = 1029,
  prEmbedded = 1030,
  prDirect = 1031,
  prCheckPrecision = 1032,
  prOptimizedBigInt = 1033,
  prBinaryAsString = 1034,
  prCheckBackslashes = 1035,
  prNeedBackslashes = 1036,
  prNullForZeroVanticDate = 1041,
  prSecureAuth = 1042,
  prSSLVerify = 1043,
  // The HTTP tunnel's settings.
  prHttpUrl = 1044,
  prHttpUsername = 1045,
  prHttpPassword = 1046,
  prProxyHostname = 1047,
  prProxyPort = 1048,
  prProxyUsername = 1049,
  prProxyPassword = 1050,
  // The certificate-authority folder (hashed names, as openssl rehash makes them).
  prSSLCAPath = 1051,
};

}  // namespace vix
