#include <algorithm>

#include <orvo/OrvoCI.h>
#include "protocol/FilterGrammar.h"
#include "protocol/StoreCode.h"

namespace {

struct OperatorForm {
    LONG code;
    const char* written;
};

constexpr OperatorForm kOperators[] = {
    {orvo::kFilterAbove, "> "},   {orvo::kFilterBelow, "< "},    {orvo::kFilterEqual, "= "},
    {orvo::kFilterInside, "= "},  {orvo::kFilterAtLeast, ">= "}, {orvo::kFilterAtMost, "<= "},
    {orvo::kFilterNotEqual, "<> "}, {orvo::kFilterOutside, "<> "},
};

}  // namespace

int OrvoCI::ParseFilterDescEx(CString desc, LONG* pCode, LONG* pOperator, double* pValue1,
                              double* pValue2, LONG* pExtra1, LONG* pExtra2)
{
    return orvo::ParseFilterText(desc, pCode, pOperator, pValue1, pValue2, pExtra1, pExtra2);
}

int OrvoCI::ParseFilterDesc(CString desc, LONG* pCode, LONG* pOperator, double* pValue1,
                            double* pValue2)
{
    return ParseFilterDescEx(desc, pCode, pOperator, pValue1, pValue2, nullptr, nullptr);
}

CString OrvoCI::BuildFilterDescEx(LONG code, LONG op, double value1, double value2, LONG extra1,
                                  LONG extra2)
{
    const auto form = std::find_if(std::begin(kOperators), std::end(kOperators),
                                   [op](const OperatorForm& entry) { return entry.code == op; });
    if (form == std::end(kOperators)) {
        return "Error";
    }
    CString text = orvo::StoreCodeText(code) + " " + form->written;
    if (op == orvo::kFilterInside || op == orvo::kFilterOutside) {
        text.AppendFormat("%.8g:%.8g", value1, value2);
    } else {
        text.AppendFormat("%.8g", value1);
    }
    text.AppendFormat("{%d,%d}", static_cast<int>(extra1), static_cast<int>(extra2));
    return text;
}

CString OrvoCI::BuildFilterDesc(LONG code, LONG op, double value1, double value2)
{
    return BuildFilterDescEx(code, op, value1, value2, 0, 0);
}
