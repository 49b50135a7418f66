@0xd2d87c872dacbb38;
# The least that carries bytes from a server: the baseline of the remote
# engine's reads, over the same kind of connection.

interface BulkBytes {
  # Batch `index` of the bytes, empty past the last.
  read @0 (index :UInt32) -> (data :Data);
}
