// Preprocessor helpers that let the type library tables (veskar_methods.def,
// manager_members.def) expand into declarations, descriptions and call lists. A parameter is
// written as a parenthesised triple (direction, type, name).
#pragma once

#define VSK_PP_CAT(a, b) VSK_PP_CAT_I(a, b)
#define VSK_PP_CAT_I(a, b) a##b

#define VSK_PP_COUNT(...) VSK_PP_COUNT_I(__VA_ARGS__, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define VSK_PP_COUNT_I(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, N, ...) N

// VSK_PP_MAP(m, (a), (b)) -> m(a), m(b); nothing for no arguments.
#define VSK_PP_MAP(m, ...) \
    __VA_OPT__(VSK_PP_CAT(VSK_PP_MAP_, VSK_PP_COUNT(__VA_ARGS__))(m, __VA_ARGS__))
#define VSK_PP_MAP_1(m, a) m a
#define VSK_PP_MAP_2(m, a, ...) m a, VSK_PP_MAP_1(m, __VA_ARGS__)
#define VSK_PP_MAP_3(m, a, ...) m a, VSK_PP_MAP_2(m, __VA_ARGS__)
#define VSK_PP_MAP_4(m, a, ...) m a, VSK_PP_MAP_3(m, __VA_ARGS__)
#define VSK_PP_MAP_5(m, a, ...) m a, VSK_PP_MAP_4(m, __VA_ARGS__)
#define VSK_PP_MAP_6(m, a, ...) m a, VSK_PP_MAP_5(m, __VA_ARGS__)
#define VSK_PP_MAP_7(m, a, ...) m a, VSK_PP_MAP_6(m, __VA_ARGS__)
#define VSK_PP_MAP_8(m, a, ...) m a, VSK_PP_MAP_7(m, __VA_ARGS__)
#define VSK_PP_MAP_9(m, a, ...) m a, VSK_PP_MAP_8(m, __VA_ARGS__)
#define VSK_PP_MAP_10(m, a, ...) m a, VSK_PP_MAP_9(m, __VA_ARGS__)
#define VSK_PP_MAP_11(m, a, ...) m a, VSK_PP_MAP_10(m, __VA_ARGS__)
#define VSK_PP_MAP_12(m, a, ...) m a, VSK_PP_MAP_11(m, __VA_ARGS__)

// A parameter as it appears in a C++ signature: inputs by value (BSTR by const reference),
// the [out, retval] value as an OutArg (a pointer that notes the write).
#define VSK_PP_SIG(dir, type, name) VSK_PP_CAT(VSK_PP_SIG_, dir)(type, name)
#define VSK_PP_SIG_In(type, name) ::vsk::InArg<::vsk::type> name
#define VSK_PP_SIG_Plain(type, name) ::vsk::InArg<::vsk::type> name
#define VSK_PP_SIG_RetVal(type, name) ::vsk::OutArg<::vsk::type> name

// A parameter as an argument of a forwarding call.
#define VSK_PP_NAME(dir, type, name) name

// A parameter as a row of the description table.
#define VSK_PP_DESC(dir, type, name)                                 \
    ::vsk::ParamDesc {                                               \
#name, ::vsk::VarTypeOf < ::vsk::type>, ::vsk::ParamDir::dir \
    }
