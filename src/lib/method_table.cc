#include "lib/method_table.h"

#include "binding/methods.h"

namespace vedra::py {

#define VEDRA_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

const char kCoreClassDoc[] =
    "MetadataCore()\n--\n\n"
    "工业级元数据检索引擎核心\n\n"
    "功能：\n"
    "1. 高性能倒排索引 (基于 Roaring Bitmaps)\n"
    "2. 多模式匹配 (基于 Aho-Corasick)\n"
    "3. 完整 payload 存储与快照读写";

PyMethodDef kCoreMethods[] = {
    {"add_record", VEDRA_FASTCALL(method_add_record), METH_FASTCALL | METH_KEYWORDS,
     "add_record($self, code, name, pinyin, fields, payload=None)\n--\n\n兼容旧路径：注入预先扁平化的字段"},
    {"add_record_payload", VEDRA_FASTCALL(method_add_record_payload), METH_FASTCALL | METH_KEYWORDS,
     "add_record_payload($self, record)\n--\n\n新路径：直接注入完整 record payload，由 Rust 执行扁平化"},
    {"build", VEDRA_FASTCALL(method_build), METH_NOARGS, "build($self)\n--\n\n必须在所有 add_record 完成后调用"},
    {"filter", VEDRA_FASTCALL(method_filter), METH_FASTCALL | METH_KEYWORDS,
     "filter($self, filters)\n--\n\nfilters: {\"field\": [\"val1\", \"val2\"], \"field__not\": \"val3\"}"},
    {"find", VEDRA_FASTCALL(method_find), METH_FASTCALL | METH_KEYWORDS, "find($self, text)\n--\n\n"},
    {"get", VEDRA_FASTCALL(method_get), METH_FASTCALL | METH_KEYWORDS, "get($self, code)\n--\n\n"},
    {"get_many", VEDRA_FASTCALL(method_get_many), METH_FASTCALL | METH_KEYWORDS, "get_many($self, codes)\n--\n\n"},
    {"save_snapshot", VEDRA_FASTCALL(method_save_snapshot), METH_FASTCALL | METH_KEYWORDS,
     "save_snapshot($self, full_file_path, index_file_path, manifest_file_path=None)\n--\n\n"},
    {"load_snapshot", VEDRA_FASTCALL(method_load_snapshot), METH_FASTCALL | METH_KEYWORDS,
     "load_snapshot($self, full_file_path, index_file_path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vedra::py
