# The engine interface (include/orvo/protocol/ITankEngine.h) between machines.
# Each TankEngine method carries one ITankEngine method: its parameters are
# the method's input arguments in order, its results `result` and then the
# output arguments in order. The reserved slots are not carried.
@0xc56137a165e97142;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("orvo::wire");

# What a method answers when it fails without reaching the engine (the
# caller's connection was lost, or the client id is not the connection's);
# methods without it fail with 0.
annotation failure @0xd0e5a6f4c2b19e31 (method) :Int32;

# A parameter naming a tank (a registered name or a tank folder's path), or
# the folder a tank is registered in: a server that keeps its tanks inside
# one folder checks where it leads before the call.
annotation tank @0xe3a1c6b0f5d29a47 (param) :Void;
annotation tankFolder @0xf1b7d2c49e06a853 (param) :Void;

struct Bound {
  elements @0 :UInt32;
  lowerBound @1 :Int32;
}

# A SAFEARRAY: its VARTYPE and dimensions, the first dimension passed to
# SafeArrayCreate first (it varies fastest in the data).
struct SafeArray {
  elementType @0 :UInt16;
  bounds @1 :List(Bound);
  union {
    # The elements of a numeric array as they lie in memory.
    data @2 :Data;
    # The elements of a VT_BSTR array, each as a BSTR argument.
    strings @3 :List(Data);
    # An argument too large for one message: its elements were written
    # through this upload, made by TankEngine.newUpload, before the call.
    uploaded @4 :ArrayUpload;
    # An answer too large for one message: its elements were written through
    # the call's sink before the answer.
    streamed @5 :Void;
  }
}

# A VARIANT of the types the interface carries. A BSTR is carried as its
# bytes (UTF-16, any byte length); a null pointer is a null BSTR.
struct Variant {
  union {
    empty @0 :Void;
    i1 @1 :Int8;
    i2 @2 :Int16;
    i4 @3 :Int32;
    r4 @4 :Float32;
    r8 @5 :Float64;
    bstr @6 :Data;
    array @7 :SafeArray;
  }
}

# Chunks of one array's data, each at most one Data, in order.
interface ArrayUpload {
  write @0 (chunk :Data) -> stream;
}

interface ArraySink {
  begin @0 (elementType :UInt16, bounds :List(Bound));
  write @1 (chunk :Data) -> stream;
}

# The connection's bootstrap: the engine is handed out only to a known user
# with the right password. A refusal comes after a delay.
interface Login {
  login @0 (user :Text, domain :Text, password :Text) -> (engine :TankEngine);
}

interface TankEngine {
  addClient @0 (name :Data) -> (result :Int32);
  addTank @1 (name :Data, path :Data $tankFolder) -> (result :Int32);
  closeTank @2 (clientId :Int32) -> (result :Int32);
  deleteClient @3 (clientId :Int32) -> (result :Int32);
  removeTank @4 (name :Data $tank) -> (result :Int32);
  getBlockInfo @5 (clientId :Int32)
      -> (result :Int32, text1 :Data, text2 :Data, text3 :Data, startTime :Float64,
          stopTime :Float64, notes :Data);
  getError @6 (clientId :Int32) -> (result :Int32, text :Data);
  readEvents @7 (clientId :Int32, maxEvents :Int32, code :Int32, channel :Int32,
                 sortCode :Int32, startTime :Float64, endTime :Float64, options :Int32,
                 sink :ArraySink)
      -> (result :Int32, events :Variant) $failure(-1);
  getStatus @8 (clientId :Int32, code :Int32) -> (result :Int32);
  initializeTank @9 (name :Data $tank) -> (result :Int32);
  openTank @10 (clientId :Int32, name :Data $tank, mode :Int32) -> (result :Int32);
  saveEvents @11 (clientId :Int32, records :Variant) -> (result :Int32);
  selectBlock @12 (clientId :Int32, name :Data) -> (result :Int32);
  startRecord @13 (clientId :Int32, name :Data) -> (result :Int32);
  stopRecord @14 (clientId :Int32) -> (result :Int32);
  setOSTime @15 (clientId :Int32, time :Float64) -> (result :Int32);
  queryBlockName @16 (clientId :Int32, index :Int32) -> (result :Int32, name :Data);
  getEventCodes @17 (clientId :Int32, eventType :Int32, sink :ArraySink)
      -> (result :Int32, codes :Variant) $failure(-1);
  resetTank @18 (name :Data $tank) -> (result :Int32);
  checkTank @19 (name :Data $tank) -> (result :Int32);
  getEnumTank @20 (index :Int32) -> (result :Int32, name :Data);
  getDebug @21 (name :Data $tank) -> (result :Int32, text :Data);
  enabTankDebug @22 (name :Data $tank, enable :Int32) -> (result :Int32);
  getTankItem @23 (tank :Data $tank, item :Data) -> (result :Int32, text :Data);
  getHotBlock @24 (clientId :Int32) -> (result :Int32, name :Data);
  getEpocCodes @25 (clientId :Int32, sink :ArraySink)
      -> (result :Int32, codes :Variant) $failure(-1);
  getEpocs @26 (clientId :Int32, code :Int32, startTime :Float64, endTime :Float64,
                option :Int32, sink :ArraySink)
      -> (result :Int32, epocs :Variant) $failure(-1);
  resetFilters @27 (clientId :Int32, arg1 :Int32, arg2 :Int32, arg3 :Float64, arg4 :Float64)
      -> (result :Int32);
  createEpocIndexing @28 (clientId :Int32) -> (result :Int32);
  clearEpocIndexing @29 (clientId :Int32) -> (result :Int32);
  indexEvent @30 (clientId :Int32, arg1 :Int32, arg2 :Int32, arg3 :Int32) -> (result :Int32);
  setBlockInfo @31 (clientId :Int32, text1 :Data, number :Int32, text2 :Data)
      -> (result :Int32);
  qryEpocAtIdx @32 (clientId :Int32, code :Int32, index :Int32, item :Int32)
      -> (result :Int32, value :Float64);
  getFilterTolerance @33 (clientId :Int32) -> (result :Int32, tolerance :Float64);
  setFilterTolerance @34 (clientId :Int32, tolerance :Float64) -> (result :Int32);
  setFilterEx @35 (clientId :Int32, code :Int32, op :Int32, value1 :Float64, value2 :Float64,
                   extra1 :Int32, extra2 :Int32) -> (result :Int32);
  getCacheDelay @36 (clientId :Int32) -> (result :Int32, delay :Float64);
  setCacheDelay @37 (clientId :Int32, delay :Float64) -> (result :Int32);
  setFilterWithDescEx @38 (clientId :Int32, description :Data, respectOffset :Int32)
      -> (result :Int32);
  setFilterWithDimension @39 (clientId :Int32, dim1 :Int32, dim2 :Int32, description :Data,
                              flag :Int32, respectOffset :Int32) -> (result :Int32);
  setEpocTimeFilter @40 (clientId :Int32, code :Int32, startTime :Float64, endTime :Float64,
                         ignoreOffset :Int32) -> (result :Int32);
  setTimeRefEpoc @41 (clientId :Int32, code :Int32, enable :Int32) -> (result :Int32);
  getEpocsEx @42 (clientId :Int32, code :Int32, startTime :Float64, endTime :Float64,
                  arg3 :Int32, arg4 :Int32, sink :ArraySink)
      -> (result :Int32, epocs :Variant) $failure(-1);
  getValidTimeRanges @43 (clientId :Int32, startTime :Float64, endTime :Float64,
                          maxRanges :Int32, sink :ArraySink)
      -> (result :Int32, ranges :Variant) $failure(-1);
  qryEpocAtEx @44 (clientId :Int32, code :Int32, time :Float64, respectOffset :Int32,
                   sink :ArraySink)
      -> (result :Int32, values :Variant) $failure(-1);
  startRecordEx @45 (clientId :Int32, name :Data, supplements :Data) -> (result :Int32);
  setUseSortName @46 (clientId :Int32, sortName :Data, option :Int32) -> (result :Int32);
  saveSortCode @47 (clientId :Int32, code :Int32, channel :Int32, sortName :Data,
                    pairs :Variant, memo :Data, kind :Int32) -> (result :Int32) $failure(1);
  getSortNameList @48 (clientId :Int32, code :Int32, arg1 :Int32, arg2 :Int32,
                       sink :ArraySink)
      -> (result :Int32, names :Variant) $failure(-1);
  getSortCondition @49 (clientId :Int32, code :Int32, channel :Int32, sortName :Data,
                        kind :Int32) -> (result :Int32, condition :Data) $failure(1);
  deleteSortCode @50 (clientId :Int32, code :Int32, channel :Int32, sortName :Data,
                      option :Int32) -> (result :Int32) $failure(1);
  getSortChanMap @51 (clientId :Int32, code :Int32, sortName :Data, option :Int32)
      -> (result :Int32, map :Data) $failure(1);
  setRecordOption @52 (clientId :Int32, value :Float64, option :Int32, data :Data)
      -> (result :Int32) $failure(1);

  # Room for an array argument too large for one message; its type and
  # dimensions are checked against the limits before anything is allocated.
  newUpload @53 (elementType :UInt16, bounds :List(Bound)) -> (upload :ArrayUpload);
}
