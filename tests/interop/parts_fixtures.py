"""Workbooks with pictures, charts, tables, sparklines, extension rules, a chart sheet, a
filter with criteria and a note that is always shown, written with xlsxwriter."""
import struct
import zlib

import xlsxwriter


def png(width, height, rgb):
    """A plain one-colour PNG."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    row = b"\x00" + bytes(rgb) * width
    raw = zlib.compress(row * height)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", raw) + chunk(b"IEND", b""))


def sales_report(path, logo_path, region="华东", scale=1, label=False):
    """Summary (logo, two charts plotting Data and itself, a table, sparklines, data bars, icon
    sets, a drop-down reading Lists, a filter with criteria, a shown note), Data, Lists and a
    chart sheet. With `label` column A of Summary holds the region, so that the cells under the
    logo are among its used cells."""
    wb = xlsxwriter.Workbook(path)
    summary = wb.add_worksheet("Summary")
    data = wb.add_worksheet("Data")
    lists = wb.add_worksheet("Lists")
    bold = wb.add_format({"bold": True})
    months = ["一月", "二月", "三月", "四月"]
    data.write_row(0, 0, ["月份", "收入", "成本"], bold)
    for i, m in enumerate(months):
        data.write_row(i + 1, 0, [m, (100 + 10 * i) * scale, (60 + 5 * i) * scale])
    lists.write_column(0, 0, ["北京", "上海", "广州"])

    summary.insert_image("A1", logo_path, {"x_scale": 1, "y_scale": 1})
    summary.write("D1", "销售报告 " + region, bold)
    if label:
        summary.write("A4", region)
    summary.add_table("B8:D12", {"name": "Sales", "style": "Table Style Medium 9",
                                 "columns": [{"header": "月份"}, {"header": "数量"},
                                             {"header": "单价"}],
                                 "data": [[m, 5 + i, 3.5 + i] for i, m in enumerate(months)]})
    summary.write_formula("F8", "=SUM(Sales[数量])", None, 26)
    summary.write_row(14, 1, [3, 5, 2, 8, 6])
    summary.write_row(15, 1, [1, 2, 3, 4, 5])
    summary.add_sparkline("G15", {"range": "Summary!B15:F15"})
    summary.add_sparkline("G16", {"range": "Data!B2:B5", "type": "column"})
    summary.conditional_format("B15:F15", {"type": "data_bar", "bar_solid": True})
    summary.conditional_format("B16:F16", {"type": "icon_set", "icon_style": "5_quarters"})
    summary.data_validation("B18", {"validate": "list", "source": "=Lists!$A$1:$A$3"})
    summary.write_comment("B18", "选择城市", {"visible": True})
    summary.write_comment("B19", "隐藏的批注")
    summary.write_row(20, 1, ["城市", "人数"])
    for i, city in enumerate(["北京", "上海", "广州", "深圳"]):
        summary.write_row(21 + i, 1, [city, 10 * (i + 1)])
    summary.autofilter("B21:C25")
    summary.filter_column("C", "x > 15")
    summary.set_row(21, None, None, {"hidden": True})
    summary.set_header("&L&G", {"image_left": logo_path})

    chart = wb.add_chart({"type": "column"})
    chart.add_series({"name": "收入", "categories": "=Data!$A$2:$A$5", "values": "=Data!$B$2:$B$5"})
    chart.add_series({"name": "成本", "categories": "=Data!$A$2:$A$5", "values": "=Data!$C$2:$C$5"})
    chart.set_title({"name": "收入与成本"})
    summary.insert_chart("F1", chart)
    own = wb.add_chart({"type": "line"})
    own.add_series({"name": "数量", "categories": "=Summary!$B$9:$B$12",
                    "values": "=Summary!$C$9:$C$12"})
    own.set_title({"name": "数量"})
    summary.insert_chart("F18", own)

    sheet_chart = wb.add_chartsheet("趋势")
    trend = wb.add_chart({"type": "line"})
    trend.add_series({"name": "收入", "categories": "=Data!$A$2:$A$5", "values": "=Data!$B$2:$B$5"})
    sheet_chart.set_chart(trend)
    wb.close()


ORDERS = [["East", 2, 3.5], ["West", 4, 1.25], ["East", 1, 10], ["North", 3, 2]]


def orders_book(path, scale=1):
    """Orders!A1:D6: the table Sales in Medium 9 with banded rows, a total row and a calculated
    Amount column; F2 and G2 read it by structured references."""
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet("Orders")
    rows = [[r, q * scale, p] for r, q, p in ORDERS]
    ws.add_table("A1:D6", {"name": "Sales", "style": "Table Style Medium 9", "total_row": True,
                           "columns": [{"header": "Region", "total_string": "Total"},
                                       {"header": "Qty", "total_function": "sum"},
                                       {"header": "Price"},
                                       {"header": "Amount", "formula": "=[@[Qty]]*[@[Price]]",
                                        "total_function": "sum"}],
                           "data": rows})
    ws.write_formula("F2", "=SUM(Sales[Amount])", None, sum(q * p for _, q, p in rows))
    ws.write_formula("G2", "=Sales[[#Totals],[Qty]]", None, sum(q for _, q, _ in rows))
    wb.close()
