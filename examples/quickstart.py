"""Quickstart: a small sales report with lumo over forty orders the script makes up itself."""
import random

from lumo import LumoSeq


def make_data(seed=7):
    rng = random.Random(seed)
    customers = [{"id": i, "name": name, "city": city}
                 for i, (name, city) in enumerate([("Ada", "London"), ("Grace", "New York"),
                                                   ("Linus", "Helsinki"), ("Guido", "Amsterdam"),
                                                   ("Barbara", "Boston")])]
    products = [{"sku": sku, "title": title, "price": price}
                for sku, title, price in [("K1", "Keyboard", 49.0), ("M1", "Mouse", 19.5),
                                          ("S1", "Screen", 189.0), ("C1", "Cable", 4.25),
                                          ("D1", "Dock", 129.0)]]
    orders = [{"order": n, "customer": rng.randrange(len(customers)),
               "sku": rng.choice(products)["sku"], "qty": rng.randint(1, 5)}
              for n in range(40)]
    return customers, products, orders


def main():
    customers, products, orders = make_data()
    price = LumoSeq(products).to_dict(lambda p: p["sku"], lambda p: p["price"])

    lines = (LumoSeq(orders)
             .join(customers, lambda o: o["customer"], lambda c: c["id"])
             .select(lambda pair: {"name": pair[1]["name"], "city": pair[1]["city"],
                                   "sku": pair[0]["sku"], "qty": pair[0]["qty"],
                                   "total": pair[0]["qty"] * price[pair[0]["sku"]]}))

    print(f"{lines.len()} order lines, revenue {lines.select(lambda l: l['total']).sum():.2f}")
    print(f"average line {lines.select(lambda l: l['total']).average():.2f}")

    print("\nRevenue by customer (top 3):")
    by_customer = (lines.group_by(lambda l: l["name"])
                   .select(lambda g: (g[0], g[1].select(lambda l: l["total"]).sum()))
                   .order_by(lambda t: -t[1]))
    top, _rest = by_customer.take(3)
    for rank, (name, revenue) in top.enumerate(1).list():
        print(f"  {rank}. {name:<8} {revenue:9.2f}")

    print("\nBig lines (>= 300) in pages of 4:")
    big = lines.where(lambda l: l["total"] >= 300).order_by(lambda l: l["total"])
    for page_no, page in LumoSeq(big.chunk(4).list()).enumerate(1).list():
        print(f"  page {page_no}: " + ", ".join(f"{l['name']} {l['total']:.0f}" for l in page.list()))

    print("\nProducts Linus never bought 4 or more of at once:")
    linus = lines.where(lambda l: l["name"] == "Linus" and l["qty"] >= 4).select(lambda l: l["sku"]).distinct()
    print("  " + ", ".join(LumoSeq(products).except_by(linus.list(), lambda p: p["sku"] if isinstance(p, dict) else p)
                           .select(lambda p: p["title"]).list()))

    print("\nCities and their customers:")
    cities = LumoSeq(customers).order_by(lambda c: c["city"])
    for city, name in cities.select(lambda c: c["city"]).zip(cities.select(lambda c: c["name"])).list():
        print(f"  {city:<10} {name}")

    heaviest = lines.max_by(lambda l: l["qty"])
    print(f"\nLargest quantity: {heaviest['qty']} x {heaviest['sku']} for {heaviest['name']}")


if __name__ == "__main__":
    main()
