// The math functions of the standard library: each takes numbers (integers, floats, doubles) and
// returns a double computed by the C library; abs of an integer stays an integer. Domain errors
// are not script errors: they give what the C library gives (NaN, infinity).
#include <cmath>
#include <cstdint>

#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoLibCall.h"

namespace {

using RealFunction = double (*)(double);

// True for the kinds that convert to a number: integer, float and double. The type is tested
// rather than the double view's failure value, so that the largest finite double is a number too.
bool isNumber(const KvoValue& value) noexcept
{
    const KvoValueType type = value.getType();
    return type == KVT_INTEGER || type == KVT_FLOAT || type == KVT_DOUBLE;
}

// One argument, numeric; the result is the double function of it.
bool applyReal(KvoVirtualMachine* vm, int argc, ValPtr& args, RealFunction function)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue& x = call.arg(1);
    if (!isNumber(x))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return call.done(KvoValue(function(x.getDouble())));
}

} // namespace

bool KvoDefaultFunctions::Kvo_sin(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return applyReal(vm, argc, args, [](double x) { return std::sin(x); });
}

bool KvoDefaultFunctions::Kvo_cos(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return applyReal(vm, argc, args, [](double x) { return std::cos(x); });
}

bool KvoDefaultFunctions::Kvo_tan(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return applyReal(vm, argc, args, [](double x) { return std::tan(x); });
}

bool KvoDefaultFunctions::Kvo_atan(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return applyReal(vm, argc, args, [](double x) { return std::atan(x); });
}

bool KvoDefaultFunctions::Kvo_sqrt(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return applyReal(vm, argc, args, [](double x) { return std::sqrt(x); });
}

bool KvoDefaultFunctions::Kvo_log(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return applyReal(vm, argc, args, [](double x) { return std::log(x); });
}

bool KvoDefaultFunctions::Kvo_exp(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return applyReal(vm, argc, args, [](double x) { return std::exp(x); });
}

bool KvoDefaultFunctions::Kvo_abs(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    if (argc == 1) {
        KvoLibCall call(vm, argc, args);
        const KvoValue& x = call.arg(1);
        if (x.getType() == KVT_INTEGER) {
            // Negated through unsigned: the smallest integer comes back unchanged.
            const std::int32_t value = x.getLong();
            const auto magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
            return call.done(KvoValue(static_cast<std::int32_t>(magnitude)));
        }
    }
    return applyReal(vm, argc, args, [](double x) { return std::fabs(x); });
}

bool KvoDefaultFunctions::Kvo_pow(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 2))
        return false;
    const KvoValue& base = call.arg(1);
    const KvoValue& exponent = call.arg(2);
    if (!isNumber(base) || !isNumber(exponent))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return call.done(KvoValue(std::pow(base.getDouble(), exponent.getDouble())));
}
