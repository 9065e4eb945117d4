// Sample command builders for the protocol-name check.
uint32_t Build(uint8_t t)
{
    _apdu_frame_ f;
    frame_init(f, 0x80, INS_CAL_ISK, t, 0x00);  // FLAG (class)
    frame_init(f, CLA_PLAIN, 0xA4, t, 0x00);  // FLAG (instruction)
    frame_init(f, CLA_PLAIN, INS_SELECT_FILE, 0x04, 0x00);  // pass (P1, P2)
    chunk_frame(f, 0xD6, off);  // FLAG
    matrix_frame(f, INS_GEN_MATRIX, t, index);  // pass
    card_hash(0x54, 20, data, len, out, cap);  // FLAG
    f.INS = 0x84;  // FLAG
    f.CLA = 0x80;  // FLAG
    if (st == 0x63CF) return 1;  // FLAG
    return st >= SW_WRONG_PIN ? 1 : 0;  // pass [1, n)
}
