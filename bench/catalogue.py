"""Deterministic securities-like catalogue for benchmarks.

Everything here is a pure function of its arguments and seed: two processes
that call records(n, seed) get equal lists, which is what lets bench/run.py
measure each implementation in its own process on the same data.

    records(n, seed)            -> list of record payloads (add_record_payload)
    legacy_args(record)         -> (code, name, pinyin, fields, payload) (add_record)
    texts(catalogue, count, size_range, seed) -> news-like texts for find()
    filter_shapes(catalogue)    -> {shape name: filters dict} for filter()

Mix. Records are drawn from instrument kinds (stocks of SH/SZ/BJ/HK/US, funds,
bonds, indexes, REITs, HK warrants), each with its own code namespace. A
namespace that is half used is closed, so the catalogue stays unique at any N;
at 10^6 records the mix leans towards the big namespaces (open-end funds,
interbank bonds, US tickers), as a real catalogue of that size does.

Names are composed of real words and frequent characters; their pinyin comes
from pypinyin, computed once per component and cached, so 10^6 records take
seconds, not minutes. The "pinyin" member is "abbr|ABBR|fullpinyin".

Payloads average about 600 bytes of compact JSON (UTF-8, Chinese text raw).
"""

from __future__ import annotations

import bisect
import datetime
import itertools
import random
from typing import Any

from pypinyin import Style, lazy_pinyin

DEFAULT_SEED = 20240601

# ---------------------------------------------------------------------------
# Vocabulary

# (short name used in company names, region path)
_PROVINCES = [
    ("北京", "Asia.China.Beijing"), ("上海", "Asia.China.Shanghai"),
    ("天津", "Asia.China.Tianjin"), ("重庆", "Asia.China.Chongqing"),
    ("广东", "Asia.China.Guangdong"), ("深圳", "Asia.China.Guangdong.Shenzhen"),
    ("广州", "Asia.China.Guangdong.Guangzhou"), ("浙江", "Asia.China.Zhejiang"),
    ("杭州", "Asia.China.Zhejiang.Hangzhou"), ("宁波", "Asia.China.Zhejiang.Ningbo"),
    ("江苏", "Asia.China.Jiangsu"), ("南京", "Asia.China.Jiangsu.Nanjing"),
    ("苏州", "Asia.China.Jiangsu.Suzhou"), ("山东", "Asia.China.Shandong"),
    ("青岛", "Asia.China.Shandong.Qingdao"), ("福建", "Asia.China.Fujian"),
    ("厦门", "Asia.China.Fujian.Xiamen"), ("四川", "Asia.China.Sichuan"),
    ("成都", "Asia.China.Sichuan.Chengdu"), ("湖北", "Asia.China.Hubei"),
    ("武汉", "Asia.China.Hubei.Wuhan"), ("湖南", "Asia.China.Hunan"),
    ("河南", "Asia.China.Henan"), ("河北", "Asia.China.Hebei"),
    ("安徽", "Asia.China.Anhui"), ("江西", "Asia.China.Jiangxi"),
    ("贵州", "Asia.China.Guizhou"), ("云南", "Asia.China.Yunnan"),
    ("陕西", "Asia.China.Shaanxi"), ("山西", "Asia.China.Shanxi"),
    ("辽宁", "Asia.China.Liaoning"), ("大连", "Asia.China.Liaoning.Dalian"),
    ("吉林", "Asia.China.Jilin"), ("黑龙江", "Asia.China.Heilongjiang"),
    ("广西", "Asia.China.Guangxi"), ("海南", "Asia.China.Hainan"),
    ("新疆", "Asia.China.Xinjiang"), ("西藏", "Asia.China.Xizang"),
    ("内蒙古", "Asia.China.NeiMongol"), ("甘肃", "Asia.China.Gansu"),
    ("宁夏", "Asia.China.Ningxia"), ("青海", "Asia.China.Qinghai"),
]
_HK_REGIONS = ["Asia.China.HongKong"] * 6 + [
    "Asia.China.Guangdong.Shenzhen", "Asia.China.Beijing", "Asia.China.Shanghai",
    "Asia.Singapore", "Asia.China.Macau"]
_US_REGIONS = [
    "America.US.California", "America.US.NewYork", "America.US.Texas",
    "America.US.Washington", "America.US.Massachusetts", "America.US.Illinois",
    "America.US.Delaware", "America.US.NewJersey", "America.US.Georgia",
    "America.Canada.Ontario", "Europe.Ireland.Dublin", "Asia.China.Beijing",
    "Asia.China.Shanghai", "Asia.Israel.TelAviv"]

# Frequent characters of Chinese company names.
_CORE_CHARS = (
    "华中国金信通达泰宏安恒瑞科天新龙海东方明光大永兴隆盛德联合创力源星宇辰鑫"
    "飞鸿嘉美康丰益远博弘昌汇立成银峰凯世纪晶锦润荣和顺发腾亚富佳正云网数智能"
    "电机器材化工建设开元长城江南北山川河湖春秋阳华夏民生平广汽车航空铁路港口"
    "宝钢石油煤炭林业农牧渔食品酒饮茶医药生物健保险证券期货信托投资基百家万千"
    "福寿喜乐吉祥胜利前进先锋红旗青松白云黄河长江泰山珠江西湖中兴华为联想格力"
    "海尔美的五粮茅台双汇伊利蒙牛光明三一徐工潍柴比亚迪宁德时代隆基通威阳光中环"
)
_CORE_CHARS = "".join(dict.fromkeys(_CORE_CHARS))  # distinct, order kept

# Industry taxonomy: (l1, l2, l3, Chinese industry words used in names, concepts)
_INDUSTRIES = [
    ("Finance", "Finance.Bank", "Finance.Bank.Joint", ["银行"], ["银行", "高股息", "中特估"]),
    ("Finance", "Finance.Bank", "Finance.Bank.Regional", ["农商行", "银行"], ["银行", "破净股"]),
    ("Finance", "Finance.Securities", "Finance.Securities.Broker", ["证券"], ["券商", "互联网金融"]),
    ("Finance", "Finance.Insurance", "Finance.Insurance.Life", ["保险", "人寿"], ["保险", "高股息"]),
    ("Consumer", "Consumer.Beverage", "Consumer.Beverage.Liquor", ["酒业", "酿酒"], ["白酒", "消费龙头"]),
    ("Consumer", "Consumer.Food", "Consumer.Food.Dairy", ["乳业", "食品"], ["乳业", "预制菜"]),
    ("Consumer", "Consumer.Retail", "Consumer.Retail.Department", ["百货", "商业"], ["新零售", "免税"]),
    ("Consumer", "Consumer.Appliance", "Consumer.Appliance.White", ["电器", "家电"], ["家电", "智能家居"]),
    ("Health", "Health.Pharma", "Health.Pharma.Chemical", ["药业", "制药"], ["创新药", "医药"]),
    ("Health", "Health.Pharma", "Health.Pharma.TCM", ["中药", "药业"], ["中药", "医药"]),
    ("Health", "Health.Device", "Health.Device.Medical", ["医疗", "生物"], ["医疗器械", "集采"]),
    ("Tech", "Tech.Semiconductor", "Tech.Semiconductor.Design", ["微电", "芯片"], ["半导体", "国产替代", "芯片"]),
    ("Tech", "Tech.Semiconductor", "Tech.Semiconductor.Equipment", ["半导体", "装备"], ["半导体", "光刻机"]),
    ("Tech", "Tech.Software", "Tech.Software.Application", ["软件", "信息"], ["信创", "人工智能", "云计算"]),
    ("Tech", "Tech.Hardware", "Tech.Hardware.Communication", ["通信", "光电"], ["5G", "光模块", "算力"]),
    ("Tech", "Tech.Electronics", "Tech.Electronics.Component", ["电子", "科技"], ["消费电子", "苹果概念"]),
    ("Industry", "Industry.Machinery", "Industry.Machinery.Construction", ["重工", "机械"], ["工程机械", "一带一路"]),
    ("Industry", "Industry.Auto", "Industry.Auto.Vehicle", ["汽车", "客车"], ["新能源车", "智能驾驶"]),
    ("Industry", "Industry.Auto", "Industry.Auto.Parts", ["汽配", "股份"], ["汽车零部件", "特斯拉"]),
    ("Industry", "Industry.Defense", "Industry.Defense.Aerospace", ["航空", "航天"], ["军工", "大飞机"]),
    ("Energy", "Energy.Power", "Energy.Power.Thermal", ["电力", "能源"], ["电力", "高股息"]),
    ("Energy", "Energy.NewEnergy", "Energy.NewEnergy.Solar", ["光伏", "新能"], ["光伏", "储能", "新能源"]),
    ("Energy", "Energy.NewEnergy", "Energy.NewEnergy.Battery", ["锂电", "电池"], ["锂电池", "储能", "新能源"]),
    ("Energy", "Energy.Coal", "Energy.Coal.Mining", ["煤业", "矿业"], ["煤炭", "高股息"]),
    ("Materials", "Materials.Steel", "Materials.Steel.General", ["钢铁", "特钢"], ["钢铁", "破净股"]),
    ("Materials", "Materials.Chemical", "Materials.Chemical.Basic", ["化工", "化学"], ["化工", "氟化工"]),
    ("Materials", "Materials.Metal", "Materials.Metal.Rare", ["稀土", "有色"], ["稀土永磁", "小金属"]),
    ("RealEstate", "RealEstate.Developer", "RealEstate.Developer.Residential", ["地产", "置业"], ["房地产", "城中村改造"]),
    ("Utilities", "Utilities.Water", "Utilities.Water.Supply", ["水务", "环保"], ["环保", "水利"]),
    ("Transport", "Transport.Logistics", "Transport.Logistics.Express", ["物流", "快递"], ["物流", "跨境电商"]),
    ("Transport", "Transport.Port", "Transport.Port.Shipping", ["港口", "海运"], ["航运", "一带一路"]),
    ("Media", "Media.Game", "Media.Game.Online", ["传媒", "网络"], ["游戏", "AIGC", "人工智能"]),
    ("Agriculture", "Agriculture.Farming", "Agriculture.Farming.Livestock", ["牧业", "农业"], ["养殖", "猪肉"]),
]
_EXTRA_CONCEPTS = ["融资融券", "沪股通", "深股通", "MSCI中国", "富时罗素", "国企改革", "专精特新",
                   "ST板块", "次新股", "央企", "标普道琼斯", "机构重仓", "参股新三板", "举牌"]

_STOCK_SUFFIX = ["股份", "集团", "控股", "科技", "实业", "发展", ""]
_FUND_COMPANIES = [
    ("华夏", "Asia.China.Beijing"), ("易方达", "Asia.China.Guangdong.Guangzhou"),
    ("南方", "Asia.China.Guangdong.Shenzhen"), ("嘉实", "Asia.China.Beijing"),
    ("博时", "Asia.China.Guangdong.Shenzhen"), ("广发", "Asia.China.Guangdong.Guangzhou"),
    ("汇添富", "Asia.China.Shanghai"), ("富国", "Asia.China.Shanghai"),
    ("招商", "Asia.China.Guangdong.Shenzhen"), ("工银瑞信", "Asia.China.Beijing"),
    ("天弘", "Asia.China.Tianjin"), ("鹏华", "Asia.China.Guangdong.Shenzhen"),
    ("景顺长城", "Asia.China.Guangdong.Shenzhen"), ("兴证全球", "Asia.China.Shanghai"),
    ("中欧", "Asia.China.Shanghai"), ("交银施罗德", "Asia.China.Shanghai"),
    ("国泰", "Asia.China.Shanghai"), ("华安", "Asia.China.Shanghai"),
    ("银华", "Asia.China.Guangdong.Shenzhen"), ("万家", "Asia.China.Shanghai"),
]
_FUND_THEMES = ["沪深300", "中证500", "中证1000", "上证50", "创业板", "科创50", "红利", "医药",
                "消费", "新能源", "半导体", "证券", "军工", "纳斯达克100", "标普500", "恒生科技",
                "黄金", "银行", "光伏", "人工智能", "中概互联", "有色金属", "央企", "港股通"]
_FUND_STYLES = ["精选", "成长", "价值", "优选", "稳健", "灵活配置", "先锋", "优势"]
_FUND_SHARE = ["A", "C", ""]
_INDEX_FAMILIES = ["中证", "国证", "上证", "深证", "沪深", "创业板", "科创"]
_INDEX_TAILS = ["指数", "主题", "龙头", "全指", "等权", "红利"]
_US_CHARS = "阿埃艾安奥巴贝本比波博布达德迪杜多恩菲费弗福盖格哈赫霍吉加杰卡凯康科克库拉莱兰雷里利林伦罗洛马迈麦曼梅蒙米摩纳奈尼诺欧帕佩皮普奇乔瑞萨赛森沙施斯索塔泰特汤提瓦威维沃西希辛雅亚伊英尤约泽扎詹"
_US_SUFFIX = ["", "", "科技", "控股", "制药", "能源", "银行", "集团", "通讯", "医疗", "半导体"]
_EN_WORDS = ["Apex", "Blue", "Crest", "Delta", "Echo", "Fortune", "Golden", "Harbor", "Iron",
             "Jade", "Key", "Lotus", "Metro", "North", "Orient", "Pacific", "Quantum", "River",
             "Summit", "Titan", "Union", "Vista", "West", "Zenith"]
_EN_TAILS = ["Holdings", "Group", "Technology", "Industries", "Bank", "Energy", "Pharma",
             "Capital", "Systems", "Corp"]

_DESC_PHRASES = [
    "公司主要从事相关产品的研发、生产和销售", "主营业务收入保持稳定增长", "产品广泛应用于多个领域",
    "拥有完整的研发体系和自主知识产权", "在行业内具有较高的品牌知名度", "销售网络覆盖全国主要省市",
    "近年来持续加大研发投入", "积极拓展海外市场业务", "公司治理结构规范完善",
    "经营现金流状况良好", "致力于成为行业领先企业", "坚持以客户为中心的发展战略",
    "已形成规模化生产能力", "核心技术处于国内先进水平", "与多家知名企业建立长期合作关系",
    "本基金主要投资于标的指数成份股", "力争实现基金资产的长期稳健增值", "严格控制跟踪偏离度和跟踪误差",
    "债券票面利率固定，按年付息", "到期一次还本，最后一期利息随本金一起支付", "发行人主体信用评级稳定",
    "指数样本每半年调整一次", "以自由流通市值加权计算", "反映相关领域上市公司证券的整体表现",
]
_STATUS = ["L", "L", "L", "L", "L", "L", "S", "P"]


def _is_han(ch: str) -> bool:
    return "\u4e00" <= ch <= "\u9fff"


class _Pinyin:
    """Pinyin of name components. Vocabulary words are converted as words
    (so 银行 reads yinhang, 重庆 chongqing) and cached; anything else (random
    cores, serial numbers) is composed from a per-character cache, with Latin
    and digit runs kept whole and lower-cased in both forms."""

    def __init__(self, words) -> None:
        self._chars: dict[str, str] = {}
        self._words: dict[str, tuple[str, str]] = {}
        for w in words:
            if w and all(_is_han(c) for c in w):
                syls = lazy_pinyin(w, style=Style.NORMAL)
                if len(syls) == len(w):
                    self._words[w] = ("".join(s[0] for s in syls), "".join(syls))

    def _char(self, ch: str) -> str:
        syl = self._chars.get(ch)
        if syl is None:
            syl = lazy_pinyin(ch, style=Style.NORMAL)[0]
            self._chars[ch] = syl
        return syl

    def part(self, text: str) -> tuple[str, str]:
        """Returns (abbreviation, full pinyin) of one component, lower case."""
        hit = self._words.get(text)
        if hit is not None:
            return hit
        abbr: list[str] = []
        full: list[str] = []
        run: list[str] = []
        for ch in text:
            if _is_han(ch):
                if run:
                    low = "".join(run).lower()
                    abbr.append(low)
                    full.append(low)
                    run = []
                syl = self._char(ch)
                abbr.append(syl[0])
                full.append(syl)
            elif ch.isalnum():
                run.append(ch)
        if run:
            low = "".join(run).lower()
            abbr.append(low)
            full.append(low)
        return "".join(abbr), "".join(full)

    def of(self, parts: tuple[str, ...]) -> str:
        abbr = []
        full = []
        for p in parts:
            a, f = self.part(p)
            abbr.append(a)
            full.append(f)
        a = "".join(abbr)
        return a + "|" + a.upper() + "|" + "".join(full)


def _vocabulary() -> list[str]:
    words = [p for p, _ in _PROVINCES] + [c for c, _ in _FUND_COMPANIES]
    for ind in _INDUSTRIES:
        words += ind[3]
    words += _STOCK_SUFFIX + _FUND_THEMES + _FUND_STYLES + _INDEX_FAMILIES + _INDEX_TAILS + _US_SUFFIX
    words += ["控股", "集团", "国际", "国债", "银行", "混合", "股票", "债券", "指数", "债"]
    return words


# ---------------------------------------------------------------------------
# Code namespaces


class _Namespace:
    """One code space of one kind; closes when half used so draws stay cheap."""

    __slots__ = ("asset_type", "market", "weight", "capacity", "draw", "used", "open")

    def __init__(self, asset_type, market, weight, capacity, draw):
        self.asset_type = asset_type
        self.market = market
        self.weight = weight
        self.capacity = capacity
        self.draw = draw
        self.used = 0
        self.open = True


def _digits(rng: random.Random, prefixes: list[str], width: int):
    def draw() -> str:
        p = prefixes[int(rng.random() * len(prefixes))]
        return p + str(rng.randrange(10 ** width)).zfill(width)
    return draw


def _choice_of(rng: random.Random, draws: list):
    def draw() -> str:
        return draws[int(rng.random() * len(draws))]()
    return draw


def _ticker(rng: random.Random):
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    lengths = [1, 2, 2, 3, 3, 3, 4, 4, 4, 4, 5]

    def draw() -> str:
        k = lengths[int(rng.random() * len(lengths))]
        return "".join(letters[int(rng.random() * 26)] for _ in range(k))
    return draw


def _namespaces(rng: random.Random) -> list[_Namespace]:
    d = _digits
    return [
        _Namespace("stock", "SH", 10, 20000, d(rng, ["60", "68"], 4)),
        _Namespace("stock", "SZ", 10, 20000, d(rng, ["00", "30"], 4)),
        _Namespace("stock", "BJ", 2, 30000, d(rng, ["83", "87", "43"], 4)),
        _Namespace("stock", "HK", 6, 10000, d(rng, ["0"], 4)),
        _Namespace("stock", "US", 8, 12_000_000, _ticker(rng)),
        _Namespace("warrant", "HK", 3, 40000, d(rng, ["1", "2", "5", "6"], 4)),
        _Namespace("fund", "SH", 3, 30000, d(rng, ["51", "56", "58"], 4)),
        _Namespace("fund", "SZ", 3, 20000, d(rng, ["15", "16"], 4)),
        _Namespace("fund", "OF", 14, 1_000_000, d(rng, [""], 6)),
        _Namespace("reit", "SH", 0.3, 1000, d(rng, ["508"], 3)),
        _Namespace("bond", "IB", 22, 800_000, _choice_of(rng, [
            d(rng, ["0", "1"], 5), d(rng, ["22", "23", "24", "25"], 5), d(rng, ["1123", "1124"], 5)])),
        _Namespace("bond", "SH", 4, 30000, d(rng, ["01", "11", "13"], 4)),
        _Namespace("bond", "SZ", 2, 20000, d(rng, ["12", "14"], 4)),
        _Namespace("index", "SH", 0.5, 1000, d(rng, ["000"], 3)),
        _Namespace("index", "SZ", 0.5, 1000, d(rng, ["399"], 3)),
        _Namespace("index", "CSI", 3, 20000, d(rng, ["93", "H3"], 4)),
    ]


# ---------------------------------------------------------------------------
# Records


def _date(rng: random.Random, start: int, span: int) -> str:
    return datetime.date.fromordinal(start + int(rng.random() * span)).isoformat()


_D1990 = datetime.date(1990, 12, 1).toordinal()
_D2015 = datetime.date(2015, 1, 1).toordinal()
_D2024 = datetime.date(2024, 1, 1).toordinal()


def records(n: int, seed: int = DEFAULT_SEED) -> list[dict[str, Any]]:
    """Returns n record payloads with distinct codes; deterministic in (n, seed).

    The first k records of records(n) do not equal records(k): the namespace
    mix depends on n only through which namespaces close."""
    rng = random.Random(seed)
    rnd = rng.random
    py = _Pinyin(_vocabulary())
    spaces = _namespaces(rng)
    used: set[str] = set()
    cores = _CORE_CHARS
    ncores = len(cores)
    us_chars = _US_CHARS
    n_us = len(_US_CHARS)

    def pick(seq):
        return seq[int(rnd() * len(seq))]

    def core2() -> str:
        return cores[int(rnd() * ncores)] + cores[int(rnd() * ncores)]

    open_spaces = list(spaces)
    cum = list(itertools.accumulate(s.weight for s in open_spaces))
    out: list[dict[str, Any]] = []
    for _ in range(n):
        ns = open_spaces[bisect.bisect(cum, rnd() * cum[-1])]
        market = ns.market
        code_num = ns.draw()
        code = code_num + "." + market
        while code in used:
            code_num = ns.draw()
            code = code_num + "." + market
        used.add(code)
        ns.used += 1
        if ns.used * 2 >= ns.capacity:
            ns.open = False
            open_spaces = [s for s in open_spaces if s.open]
            cum = list(itertools.accumulate(s.weight for s in open_spaces))
        # Different markets may share digits (000001.SH is an index,
        # 000001.SZ a stock).
        asset = ns.asset_type
        ind = pick(_INDUSTRIES)
        l1, l2, l3, words, concepts = ind
        concept = [pick(concepts)]
        if rnd() < 0.6:
            concept.append(pick(concepts))
        if rnd() < 0.5:
            concept.append(pick(_EXTRA_CONCEPTS))
        concept = list(dict.fromkeys(concept))
        place, region = pick(_PROVINCES)
        lot = 100
        currency = "CNY"
        categories: dict[str, Any] = {"industry": {"l1": l1, "l2": l2, "l3": l3}, "concept": concept}
        extra: dict[str, Any] = {}

        if asset == "stock" or asset == "warrant":
            if market == "US":
                parts = (us_chars[int(rnd() * n_us)] + us_chars[int(rnd() * n_us)]
                         + (us_chars[int(rnd() * n_us)] if rnd() < 0.5 else ""), pick(_US_SUFFIX))
                region = pick(_US_REGIONS)
                lot = 1
                currency = "USD"
            elif market == "HK":
                parts = ((place if rnd() < 0.3 else core2()), pick(words),
                         pick(["控股", "集团", "国际", ""]))
                if asset == "warrant":
                    parts = parts[:2] + (pick(["购", "沽", "牛", "熊"]), str(rng.randrange(10, 99)))
                region = pick(_HK_REGIONS)
                lot = pick([100, 200, 400, 500, 1000, 2000])
                currency = "HKD"
            else:
                if rnd() < 0.5:
                    parts = (place, core2()[0] + pick(words)[0])
                else:
                    parts = (core2(), pick(words))
                if rnd() < 0.15:
                    parts = parts + (pick(_STOCK_SUFFIX),)
            board = {"SH": "star" if code_num.startswith("68") else "main",
                     "SZ": "chinext" if code_num.startswith("30") else "main",
                     "BJ": "bse"}.get(market, "main")
            attributes = {
                "lot": lot,
                "currency": currency,
                "board": board,
                "list_date": _date(rng, _D1990, _D2024 - _D1990),
                "delist_date": None,
                "is_st": rnd() < 0.03,
                "margin": rnd() < 0.4,
                "connect": rnd() < 0.3,
                "pe_ttm": round(5 + rnd() * 80, 2) if rnd() < 0.85 else None,
                "total_shares": int(1e7 + rnd() * 2e10),
                "mkt_cap": round(rnd() * 5000, 2),
            }
            extra["full_name"] = "".join(parts) + ("股份有限公司" if market in ("SH", "SZ", "BJ") else "有限公司")
            if market == "US" or market == "HK":
                extra["en_name"] = pick(_EN_WORDS) + " " + pick(_EN_WORDS) + " " + pick(_EN_TAILS)
            extra["employees"] = rng.randrange(50, 200000)
        elif asset == "fund" or asset == "reit":
            company, region = pick(_FUND_COMPANIES)
            etf = market != "OF"
            theme = pick(_FUND_THEMES)
            if asset == "reit":
                parts = (company, core2(), "REIT")
            elif etf:
                parts = (company, theme, pick(["ETF", "ETF", "LOF"]))
            else:
                parts = (company, core2(), pick(_FUND_STYLES), pick(["混合", "股票", "债券", "指数"]),
                         pick(_FUND_SHARE))
            categories["fund_type"] = pick(["ETF", "LOF"]) if etf else pick(["Mixed", "Equity", "Bond", "Index"])
            attributes = {
                "lot": 100 if etf else 1,
                "currency": "CNY",
                "list_date": _date(rng, _D2015, _D2024 - _D2015),
                "fee_rate": pick([0.15, 0.5, 0.6, 1.2, 1.5]),
                "aum": round(rnd() * 800, 2),
                "is_etf": etf,
                "t_plus": pick([0, 1, 1, 2]),
                "benchmark": theme + "指数收益率",
            }
            extra["manager"] = company + "基金管理有限公司"
            extra["full_name"] = company + "".join(parts[1:]) + "证券投资基金"
        elif asset == "bond":
            year = pick(["19", "20", "21", "22", "23", "24", "25"])
            btype = pick(["Treasury", "Local", "NCD", "Corporate", "Corporate", "Financial"])
            if btype == "Treasury":
                parts = (year, "国债", str(rng.randrange(1, 99)).zfill(2))
            elif btype == "Local":
                parts = (year, place, "债", str(rng.randrange(1, 99)).zfill(2))
            elif btype == "NCD":
                parts = (year, core2(), "银行", "CD", str(rng.randrange(1, 999)).zfill(3))
            else:
                parts = (year, core2(), pick(words), str(rng.randrange(1, 99)).zfill(2))
            categories["bond_type"] = btype
            categories["rating"] = pick(["AAA", "AAA", "AA+", "AA", "AA-", "A+"])
            attributes = {
                "lot": 10 if market != "IB" else 1000,
                "currency": "CNY",
                "face_value": 100,
                "coupon": round(1.5 + rnd() * 4.5, 4),
                "issue_date": _date(rng, _D2015, _D2024 - _D2015),
                "maturity_date": _date(rng, _D2024, 3650 * 3),
                "issue_size": round(rnd() * 300, 2),
                "callable": rnd() < 0.2,
                "guarantor": None,
            }
            extra["issuer"] = "".join(parts[1:3]) + "有限公司"
        else:  # index
            parts = (pick(_INDEX_FAMILIES), (place if rnd() < 0.3 else core2()), pick(words), pick(_INDEX_TAILS))
            region = "Asia.China"
            attributes = {
                "base_date": _date(rng, _D2015 - 3650, 3650 * 2),
                "base_point": pick([100.0, 1000.0, 1000.0, 3000.0]),
                "constituents": pick([10, 30, 50, 100, 300, 500, 1000]),
                "weighting": pick(["free_float", "equal", "dividend"]),
                "currency": "CNY",
                "lot": None,
            }
            extra["publisher"] = parts[0] + "指数有限公司"

        name = "".join(parts)
        desc = pick(_DESC_PHRASES) + ("，" + pick(_DESC_PHRASES) if rnd() < 0.1 else "") + "。"
        listing = {"exchange": market, "status": pick(_STATUS)}
        rec = {
            "code": code,
            "name": name,
            "pinyin": py.of(parts),
            "market": market,
            "asset_type": asset,
            "region": region,
            "categories": categories,
            "attributes": attributes,
            "description": desc,
            "listing": listing,
        }
        rec.update(extra)
        out.append(rec)
    return out


def legacy_args(record: dict[str, Any]) -> tuple[str, str, str, dict[str, Any], dict[str, Any]]:
    """The same record pre-flattened for add_record: industry levels become
    l1/l2/l3, every other member of categories and attributes keeps its own
    name; the payload is the record itself."""
    cats = record.get("categories") or {}
    fields: dict[str, Any] = {
        "market": record["market"],
        "asset_type": record["asset_type"],
        "region": record["region"],
    }
    for key, value in cats.items():
        if key == "industry":
            fields["l1"] = value["l1"]
            fields["l2"] = value["l2"]
            fields["l3"] = value["l3"]
        else:
            fields[key] = value
    fields.update(record.get("attributes") or {})
    return record["code"], record["name"], record["pinyin"], fields, record


# ---------------------------------------------------------------------------
# Texts and filter shapes

_FILLER = [
    "今日沪深两市震荡整理", "成交额较上一交易日有所放大", "北向资金全天净流入", "机构人士认为",
    "市场情绪趋于谨慎", "板块轮动明显加快", "投资者密切关注政策动向", "数据显示", "截至收盘",
    "主力资金呈现净流出态势", "分析师指出", "短期内仍有望维持区间震荡", "业绩预告显示",
    "公司发布公告称", "多家券商发布研报", "行业景气度持续回升", "估值处于历史较低水平",
    "两融余额小幅增加", "外资持续加仓", "消息面上", "据悉", "与此同时", "值得注意的是",
    "盘中一度冲高回落", "午后指数震荡走高", "个股涨多跌少", "市场风险偏好有所修复",
    "建议关注", "后续走势仍需观察", "政策预期升温", "市场成交趋于活跃", "资金面保持合理充裕",
]
_PUNCT = ["，", "。", "；", "、", "：", " "]
_NUMS = ["1.25%", "3.8%", "2,314亿元", "0.6%", "12.5亿元", "5日", "10:30", "2024年", "8.1%"]


def _mention(rng: random.Random, rec: dict[str, Any]) -> str:
    x = rng.random()
    if x < 0.5:
        return rec["name"]
    if x < 0.75:
        return rec["code"]
    pieces = rec["pinyin"].split("|")
    return pieces[1] if x < 0.9 else pieces[2]


def texts(catalogue: list[dict[str, Any]], count: int,
          size_range: tuple[int, int] = (1024, 2048), seed: int = DEFAULT_SEED) -> list[str]:
    """count news-like texts whose UTF-8 sizes are drawn uniformly from
    size_range (bytes, at least 32); Chinese filler with one mention per
    about 300 bytes of a catalogue name, code or pinyin piece."""
    rng = random.Random(seed * 7919 + count)
    lo, hi = size_range
    out: list[str] = []
    nrec = len(catalogue)
    for _ in range(count):
        target = rng.randint(lo, hi)
        k = 1 + int(rng.random() * (target // 300 + 1)) if nrec else 0
        mentions = [_mention(rng, catalogue[int(rng.random() * nrec)]) for _ in range(k)]
        budget = target - sum(len(m.encode()) for m in mentions)
        filler: list[str] = []
        while budget > 0:
            piece = (rng.choice(_FILLER) if rng.random() < 0.85 else rng.choice(_NUMS)) + rng.choice(_PUNCT)
            size = len(piece.encode())
            if size > budget:
                # Cut at a character boundary; CJK characters are 3 bytes.
                cut = []
                for ch in piece:
                    b = len(ch.encode())
                    if b > budget:
                        break
                    cut.append(ch)
                    budget -= b
                if cut:
                    filler.append("".join(cut))
                break
            filler.append(piece)
            budget -= size
        for m in mentions:
            filler.insert(rng.randint(0, len(filler)), m)
        out.append("".join(filler))
    return out


def filter_shapes(catalogue: list[dict[str, Any]]) -> dict[str, dict[str, Any]]:
    """Filter dicts over fields that both ingestion paths index under the same
    names (market, asset_type, region, concept, code)."""
    counts: dict[str, int] = {}
    for rec in catalogue:
        for c in rec["categories"].get("concept", ()):
            counts[c] = counts.get(c, 0) + 1
    ranked = sorted(counts, key=lambda c: (-counts[c], c))
    mid = ranked[len(ranked) // 3: len(ranked) // 3 + 5] or ranked[:5]
    middle = catalogue[len(catalogue) // 2]["code"] if catalogue else "000001.SZ"
    return {
        "one_key": {"market": "SZ"},
        "two_keys": {"asset_type": "stock", "market": "SH"},
        "dotted_prefix": {"region": "Asia.China"},
        "not_key": {"asset_type": "fund", "market__not": ["OF", "SZ"]},
        "value_list": {"concept": mid},
        "code_lookup": {"code": middle},
    }
